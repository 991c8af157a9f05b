// SPDX-License-Identifier: MIT
// plughost list: the search path, and every plug-in found on it with what it reports. The scan
// is gathered into a report first, then printed as text or JSON.

#include "tools/hostlib/plugin_text.h"
#include "tools/plughost/commands.h"
#include "tools/plughost/text_table.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>

namespace plughost {
namespace {

struct ListReport {
   std::vector<host::SearchFolder> folders;
   std::vector<bool> exists; // per folder
   host::ScanReport scan;
   // Per plug-in: the index of the first plug-in of its name, the one a bare name finds; later
   // ones are hidden by it.
   std::vector<size_t> firstOfName;

   bool shadowed(size_t i) const { return firstOfName[i] != i; }
};

ListReport gather(const ListOptions& options) {
   ListReport r;
   r.folders = host::searchPath();
   const long cores = sysconf(_SC_NPROCESSORS_ONLN);
   const size_t jobs = options.jobs > 0 ? static_cast<size_t>(options.jobs)
                                        : 2 * static_cast<size_t>(cores > 0 ? cores : 1);
   r.scan = host::scanFolders(r.folders, jobs, options.timeoutSeconds);
   std::map<std::string, size_t> firstByName;
   for (size_t i = 0; i < r.scan.plugins.size(); ++i)
      r.firstOfName.push_back(firstByName.emplace(r.scan.plugins[i].lookupName, i).first->second);
   for (const auto& folder : r.folders) {
      std::error_code error;
      r.exists.push_back(std::filesystem::is_directory(folder.path, error));
   }
   return r;
}

const char* statusName(host::ProbeStatus status) {
   switch (status) {
   case host::ProbeStatus::usable:
      return "usable";
   case host::ProbeStatus::refused:
      return "refused";
   case host::ProbeStatus::crashed:
      return "crashed";
   case host::ProbeStatus::hung:
      return "hung";
   }
   return "";
}

void printJson(const ListReport& r) {
   JsonWriter j;
   j.beginObject().key("searchPath").beginArray();
   for (size_t f = 0; f < r.folders.size(); ++f) {
      j.beginObject().key("path").value(r.folders[f].path).key("origin").value(r.folders[f].origin);
      j.key("exists").value(static_cast<bool>(r.exists[f])).endObject();
   }
   j.endArray().key("plugins").beginArray();
   for (size_t i = 0; i < r.scan.plugins.size(); ++i) {
      const host::PluginInfo& p = r.scan.plugins[i];
      j.beginObject().key("path").value(p.path).key("usable").value(p.usable);
      j.key("shadowed").value(r.shadowed(i));
      j.key("folder").value(static_cast<int64_t>(p.folder + 1));
      if (p.usable) {
         j.key("name").value(p.name).key("vendor").value(p.vendor);
         j.key("category").value(categoryName(p.category));
         j.key("uniqueId").value(static_cast<int64_t>(static_cast<uint32_t>(p.uniqueId)));
         j.key("inputs").value(p.inputs).key("outputs").value(p.outputs);
      } else {
         j.key("status").value(statusName(p.status)).key("problem").value(p.reason);
      }
      j.endObject();
   }
   j.endArray().key("notPlugins").beginArray();
   for (const auto& path : r.scan.notPlugins)
      j.value(path);
   j.endArray().key("unreadable").beginArray();
   for (const auto& path : r.scan.unreadable)
      j.value(path);
   j.endArray().endObject();
   std::cout << j.text() << '\n';
}

// The plug-in's place as the table shows it: relative to its folder, or its real path where a
// link on the way led elsewhere.
// File names may hold any byte but '/' and NUL; control bytes are escaped as in plug-in texts.
std::string shownPath(const host::PluginInfo& p, const host::SearchFolder& folder) {
   std::error_code error;
   const auto base = std::filesystem::canonical(folder.path, error);
   const std::string& shown =
       !error && (base / p.relative).string() == p.path ? p.relative : p.path;
   return pluginText(shown.data(), shown.size());
}

std::string searchPathTable(const ListReport& r) {
   TextTable path;
   for (size_t f = 0; f < r.folders.size(); ++f) {
      size_t count = 0;
      for (const auto& p : r.scan.plugins)
         count += p.folder == f && p.usable;
      const auto& unreadable = r.scan.unreadable;
      const bool cannotRead =
          std::find(unreadable.begin(), unreadable.end(), r.folders[f].path) != unreadable.end();
      path.add({std::to_string(f + 1), r.folders[f].path, r.folders[f].origin,
                !r.exists[f] ? "missing"
                : cannotRead ? "unreadable"
                             : std::to_string(count) + (count == 1 ? " plug-in" : " plug-ins")});
   }
   return path.text("  ");
}

// The sections after the search path, each one only if it has something to say.
std::vector<std::string> sections(const ListReport& r) {
   TextTable table({"file", "name", "vendor", "unique ID", "category", "in", "out", "folder"},
                   "lllllrrl");
   std::string unusable;
   size_t usable = 0;
   for (size_t i = 0; i < r.scan.plugins.size(); ++i) {
      const host::PluginInfo& p = r.scan.plugins[i];
      const std::string file = shownPath(p, r.folders[p.folder]);
      if (!p.usable) {
         unusable += "  " + file + " (" + statusName(p.status) +
                     "): " + pluginText(p.reason.data(), p.reason.size()) + "\n";
         continue;
      }
      ++usable;
      const std::string id = fourCharText(p.uniqueId);
      std::string folder = std::to_string(p.folder + 1);
      if (r.shadowed(i)) {
         folder += ", hidden by " + std::to_string(r.scan.plugins[r.firstOfName[i]].folder + 1);
      }
      table.add({file, p.name, p.vendor,
                 id.empty() ? std::to_string(static_cast<uint32_t>(p.uniqueId)) : id,
                 categoryName(p.category), std::to_string(p.inputs), std::to_string(p.outputs),
                 folder});
   }
   std::vector<std::string> result;
   if (usable > 0) result.push_back("plug-ins:\n" + table.text("  "));
   if (!unusable.empty()) result.push_back("not usable:\n" + unusable);
   std::string below;
   for (const auto& folder : r.scan.unreadable) {
      if (std::none_of(r.folders.begin(), r.folders.end(),
                       [&](const host::SearchFolder& f) { return f.path == folder; })) {
         below += "  " + folder + "\n";
      }
   }
   if (!below.empty()) result.push_back("folders that could not be read:\n" + below);
   if (const size_t n = r.scan.notPlugins.size()) {
      result.push_back(std::to_string(n) + (n == 1 ? " shared library" : " shared libraries") +
                       " without an entry point left out (plughost list --json names them)\n");
   }
   if (r.scan.plugins.empty()) {
      result.push_back(
          "no plug-ins found; set VST_PATH or install into one of the folders above\n");
   }
   return result;
}

void printText(const ListReport& r) {
   std::ostringstream out;
   out << "search path (a bare PLUGIN name is looked up in this order):\n"
       << searchPathTable(r) << '\n';
   const auto parts = sections(r);
   for (size_t i = 0; i < parts.size(); ++i)
      out << (i > 0 ? "\n" : "") << parts[i];
   std::cout << out.str();
}

} // namespace

CLI::App* addListCommand(CLI::App& app, ListOptions& options) {
   auto* list = app.add_subcommand("list", "show the search path and the plug-ins found on it");
   list->add_flag("--json", options.json, "print machine-readable JSON");
   list->add_option("--timeout", options.timeoutSeconds,
                    "seconds a plug-in may take to load before it counts as hung")
       ->check(CLI::Range(0.01, 86400.0).description(""))
       ->type_name("SECONDS")
       ->capture_default_str();
   list->add_option("-j,--jobs", options.jobs, "plug-ins probed at once (default: 2 per core)")
       ->check(CLI::Range(1, 256).description(""))
       ->type_name("N");
   return list;
}

int runList(const ListOptions& options) {
   const ListReport report = gather(options);
   if (options.json) {
      printJson(report);
   } else {
      printText(report);
   }
   return 0;
}

} // namespace plughost
