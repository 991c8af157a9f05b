// SPDX-License-Identifier: MIT
#include <trimwise/host/plugin.h>

#include "tools/hostlib/plugin_instance.h"
#include "tools/hostlib/plugin_probe.h"
#include "tools/hostlib/plugin_search.h"
#include "tools/hostlib/typed_error.h"

#include <trimwise/host/raw/instance.h>

namespace trimwise::host {
namespace {

PluginInfo infoOf(const std::string& path, const plughost::PluginSummary& s) {
   PluginInfo info;
   info.path = path;
   info.name = s.name;
   info.vendor = s.vendor;
   info.uniqueId = s.uniqueId;
   info.category = s.category;
   info.inputs = s.inputs;
   info.outputs = s.outputs;
   info.parameters = s.parameters;
   info.flags = s.flags;
   info.isInstrument = (s.flags & effFlagsIsSynth) != 0 || s.category == kPlugCategSynth;
   return info;
}

// The outcome of a probe that did not open the plug-in, as the error of its kind.
[[noreturn]] void throwOutcome(const plughost::ProbeOutcome& o) {
   using Status = plughost::ProbeOutcome::Status;
   if (o.status == Status::hung) throw PluginTimeout(o.problem, o.hint);
   if (o.status == Status::crashed) throw PluginCrashed(o.problem, o.hint);
   throwTyped(Error(plughost::errorKind(o.code), o.problem, o.hint));
}

} // namespace

std::vector<SearchFolder> searchPath() {
   std::vector<SearchFolder> folders;
   for (const auto& f : plughost::searchPath())
      folders.push_back({f.path, f.origin});
   return folders;
}

std::string findPlugin(const std::string& nameOrPath) {
   return typedErrors([&] { return plughost::findPlugin(nameOrPath); });
}

PluginInfo probe(const std::string& path, double timeoutSeconds) {
   const auto outcome =
       typedErrors([&] { return plughost::probePlugins({path}, 1, timeoutSeconds).front(); });
   if (outcome.status != plughost::ProbeOutcome::Status::opened) throwOutcome(outcome);
   return infoOf(path, outcome.summary);
}

ScanReport scanFolders(const std::vector<SearchFolder>& folders, size_t atOnce,
                       double timeoutSeconds) {
   std::vector<plughost::SearchFolder> where;
   for (const auto& f : folders)
      where.push_back({f.path, f.origin});
   plughost::SearchResult found = plughost::findPlugins(where);
   std::vector<std::string> paths;
   for (const auto& plugin : found.plugins)
      paths.push_back(plugin.path);
   const auto outcomes =
       typedErrors([&] { return plughost::probePlugins(paths, atOnce, timeoutSeconds); });
   ScanReport report;
   for (size_t i = 0; i < paths.size(); ++i) {
      using Status = plughost::ProbeOutcome::Status;
      PluginInfo info = infoOf(paths[i], outcomes[i].summary);
      info.folder = found.plugins[i].folder;
      info.relative = found.plugins[i].relative;
      info.lookupName = found.plugins[i].name;
      switch (outcomes[i].status) {
      case Status::opened:
         break;
      case Status::refused:
         info.status = ProbeStatus::refused;
         break;
      case Status::crashed:
         info.status = ProbeStatus::crashed;
         break;
      case Status::hung:
         info.status = ProbeStatus::hung;
         break;
      }
      if (info.status != ProbeStatus::usable) {
         info.usable = false;
         info.reason = outcomes[i].problem;
      }
      report.plugins.push_back(std::move(info));
   }
   report.notPlugins = std::move(found.notPlugins);
   report.unreadable = std::move(found.unreadable);
   return report;
}

std::vector<PluginInfo> scan(const std::vector<SearchFolder>& folders, size_t atOnce,
                             double timeoutSeconds) {
   return scanFolders(folders, atOnce, timeoutSeconds).plugins;
}

Plugin Plugin::load(const std::string& nameOrPath, bool probeFirst) {
   const std::string path = findPlugin(nameOrPath);
   if (probeFirst) probe(path);
   return Plugin(typedErrors([&] { return raw::PluginModule::load(path); }));
}

const std::string& Plugin::path() const {
   return module_->path();
}

Instance Plugin::instantiate(const InstanceOptions& options) const {
   if (!(options.sampleRate > 0.0) || options.blockSize < 1) {
      throw BadArgument("a sample rate of " + std::to_string(options.sampleRate) +
                            " and a block size of " + std::to_string(options.blockSize) +
                            " cannot be processed",
                        "give a sample rate above 0 and a block size of at least 1 frame");
   }
   raw::HostSettings settings;
   settings.sampleRate = static_cast<float>(options.sampleRate);
   settings.blockSize = options.blockSize;
   settings.realtime = options.realtime;
   settings.logRequests = false;
   settings.trace = options.trace;
   return Instance(typedErrors(
       [&] { return std::make_unique<raw::PluginInstance>(module_, std::move(settings)); }));
}

} // namespace trimwise::host
