// SPDX-License-Identifier: MIT
// plughost list: the search path, and every plug-in found on it with what it reports.

#include "tools/hostlib/plugin_probe.h"
#include "tools/hostlib/plugin_search.h"
#include "tools/hostlib/plugin_text.h"
#include "tools/hostlib/tool_error.h"
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

const char* statusName(ProbeOutcome::Status status) {
   switch (status) {
   case ProbeOutcome::Status::opened:
      return "usable";
   case ProbeOutcome::Status::refused:
      return "refused";
   case ProbeOutcome::Status::crashed:
      return "crashed";
   case ProbeOutcome::Status::hung:
      return "hung";
   }
   return "";
}

// The plug-in's place as the table shows it: relative to its folder, or its real path where a
// link on the way led elsewhere.
// File names may hold any byte but '/' and NUL; control bytes are escaped as in plug-in texts.
std::string shownPath(const FoundPlugin& found, const SearchFolder& folder) {
   std::error_code error;
   const auto base = std::filesystem::canonical(folder.path, error);
   const std::string& shown =
       !error && (base / found.relative).string() == found.path ? found.relative : found.path;
   return pluginText(shown.data(), shown.size());
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
   const auto folders = searchPath();
   const SearchResult search = findPlugins(folders);
   std::vector<std::string> paths;
   for (const auto& found : search.plugins)
      paths.push_back(found.path);
   const long cores = sysconf(_SC_NPROCESSORS_ONLN);
   const size_t jobs = options.jobs > 0 ? static_cast<size_t>(options.jobs)
                                        : 2 * static_cast<size_t>(cores > 0 ? cores : 1);
   const std::vector<ProbeOutcome> probes = probePlugins(paths, jobs, options.timeoutSeconds);

   // The first plug-in of each name is the one a bare name finds; later ones are hidden by it.
   std::map<std::string, size_t> firstByName;
   std::vector<bool> shadowed;
   for (size_t i = 0; i < search.plugins.size(); ++i)
      shadowed.push_back(!firstByName.emplace(search.plugins[i].name, i).second);
   std::vector<bool> exists;
   for (const auto& folder : folders) {
      std::error_code error;
      exists.push_back(std::filesystem::is_directory(folder.path, error));
   }

   if (options.json) {
      JsonWriter j;
      j.beginObject().key("searchPath").beginArray();
      for (size_t f = 0; f < folders.size(); ++f) {
         j.beginObject().key("path").value(folders[f].path).key("origin").value(folders[f].origin);
         j.key("exists").value(static_cast<bool>(exists[f])).endObject();
      }
      j.endArray().key("plugins").beginArray();
      for (size_t i = 0; i < search.plugins.size(); ++i) {
         const auto& probe = probes[i];
         const bool usable = probe.status == ProbeOutcome::Status::opened;
         j.beginObject().key("path").value(search.plugins[i].path).key("usable").value(usable);
         j.key("shadowed").value(static_cast<bool>(shadowed[i]));
         j.key("folder").value(static_cast<int64_t>(search.plugins[i].folder + 1));
         if (usable) {
            const auto& s = probe.summary;
            j.key("name").value(s.name).key("vendor").value(s.vendor);
            j.key("category").value(categoryName(s.category));
            j.key("uniqueId").value(static_cast<int64_t>(static_cast<uint32_t>(s.uniqueId)));
            j.key("inputs").value(s.inputs).key("outputs").value(s.outputs);
         } else {
            j.key("status").value(statusName(probe.status)).key("problem").value(probe.problem);
         }
         j.endObject();
      }
      j.endArray().key("notPlugins").beginArray();
      for (const auto& path : search.notPlugins)
         j.value(path);
      j.endArray().key("unreadable").beginArray();
      for (const auto& path : search.unreadable)
         j.value(path);
      j.endArray().endObject();
      std::cout << j.text() << '\n';
      return 0;
   }

   std::ostringstream out;
   out << "search path (a bare PLUGIN name is looked up in this order):\n";
   TextTable path;
   for (size_t f = 0; f < folders.size(); ++f) {
      size_t count = 0;
      for (size_t i = 0; i < search.plugins.size(); ++i)
         count += search.plugins[i].folder == f && probes[i].status == ProbeOutcome::Status::opened;
      const bool unreadable = std::find(search.unreadable.begin(), search.unreadable.end(),
                                        folders[f].path) != search.unreadable.end();
      path.add({std::to_string(f + 1), folders[f].path, folders[f].origin,
                !exists[f]   ? "missing"
                : unreadable ? "unreadable"
                             : std::to_string(count) + (count == 1 ? " plug-in" : " plug-ins")});
   }
   out << path.text("  ") << '\n';
   TextTable table({"file", "name", "vendor", "unique ID", "category", "in", "out", "folder"},
                   "lllllrrl");
   std::string unusable;
   size_t usable = 0;
   for (size_t i = 0; i < search.plugins.size(); ++i) {
      const auto& found = search.plugins[i];
      const auto& probe = probes[i];
      const std::string file = shownPath(found, folders[found.folder]);
      if (probe.status != ProbeOutcome::Status::opened) {
         unusable += "  " + file + " (" + statusName(probe.status) +
                     "): " + pluginText(probe.problem.data(), probe.problem.size()) + "\n";
         continue;
      }
      ++usable;
      const auto& s = probe.summary;
      const std::string id = fourCharText(s.uniqueId);
      std::string folder = std::to_string(found.folder + 1);
      if (shadowed[i]) {
         const auto& first = search.plugins[firstByName[found.name]];
         folder += ", hidden by " + std::to_string(first.folder + 1);
      }
      table.add({file, s.name, s.vendor,
                 id.empty() ? std::to_string(static_cast<uint32_t>(s.uniqueId)) : id,
                 categoryName(s.category), std::to_string(s.inputs), std::to_string(s.outputs),
                 folder});
   }
   // The sections after the search path, each one only if it has something to say.
   std::vector<std::string> sections;
   if (usable > 0) sections.push_back("plug-ins:\n" + table.text("  "));
   if (!unusable.empty()) sections.push_back("not usable:\n" + unusable);
   std::string below;
   for (const auto& folder : search.unreadable) {
      if (std::none_of(folders.begin(), folders.end(),
                       [&](const SearchFolder& f) { return f.path == folder; })) {
         below += "  " + folder + "\n";
      }
   }
   if (!below.empty()) sections.push_back("folders that could not be read:\n" + below);
   if (const size_t n = search.notPlugins.size()) {
      sections.push_back(std::to_string(n) + (n == 1 ? " shared library" : " shared libraries") +
                         " without an entry point left out (plughost list --json names them)\n");
   }
   if (search.plugins.empty()) {
      sections.push_back(
          "no plug-ins found; set VST_PATH or install into one of the folders above\n");
   }
   for (size_t i = 0; i < sections.size(); ++i)
      out << (i > 0 ? "\n" : "") << sections[i];
   std::cout << out.str();
   return 0;
}

} // namespace plughost
