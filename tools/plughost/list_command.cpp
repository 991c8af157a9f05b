// plughost list: the search path, and every plug-in found on it with what it reports.

#include "tools/hostlib/plugin_probe.h"
#include "tools/hostlib/plugin_search.h"
#include "tools/hostlib/tool_error.h"
#include "tools/plughost/commands.h"
#include "tools/plughost/text_table.h"

#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>

namespace plughost {

CLI::App* addListCommand(CLI::App& app, ListOptions& options) {
   auto* list = app.add_subcommand("list", "show the search path and the plug-ins found on it");
   list->add_flag("--json", options.json, "print machine-readable JSON");
   return list;
}

int runList(const ListOptions& options) {
   const bool json = options.json;
   struct Found {
      std::string path;
      std::string file;
      size_t folder;
      bool usable;
      bool shadowed;
      PluginSummary summary;
      std::string problem;
   };
   const auto folders = searchPath();
   std::vector<Found> found;
   std::vector<bool> exists;
   std::map<std::string, size_t> firstByName;
   for (size_t f = 0; f < folders.size(); ++f) {
      std::error_code error;
      exists.push_back(std::filesystem::is_directory(folders[f].path, error));
      for (const auto& path : pluginFilesIn(folders[f].path)) {
         Found item{path, std::filesystem::path(path).filename().string(), f, false, false, {}, {}};
         item.shadowed = !firstByName.emplace(item.file, found.size()).second;
         try {
            item.summary = probePlugin(path, 10.0);
            item.usable = true;
         } catch (const ToolError& e) {
            item.problem = e.what();
         }
         found.push_back(std::move(item));
      }
   }

   if (json) {
      JsonWriter j;
      j.beginObject().key("searchPath").beginArray();
      for (size_t f = 0; f < folders.size(); ++f) {
         j.beginObject().key("path").value(folders[f].path).key("origin").value(folders[f].origin);
         j.key("exists").value(static_cast<bool>(exists[f])).endObject();
      }
      j.endArray().key("plugins").beginArray();
      for (const auto& item : found) {
         j.beginObject().key("path").value(item.path).key("usable").value(item.usable);
         j.key("shadowed").value(item.shadowed);
         if (item.usable) {
            j.key("name").value(item.summary.name).key("vendor").value(item.summary.vendor);
            j.key("uniqueId")
                .value(static_cast<int64_t>(static_cast<uint32_t>(item.summary.uniqueId)));
            j.key("inputs").value(item.summary.inputs).key("outputs").value(item.summary.outputs);
         } else {
            j.key("problem").value(item.problem);
         }
         j.endObject();
      }
      j.endArray().endObject();
      std::cout << j.text() << '\n';
      return 0;
   }

   std::ostringstream out;
   out << "search path (a bare PLUGIN name is looked up in this order):\n";
   TextTable path;
   for (size_t f = 0; f < folders.size(); ++f) {
      size_t count = 0;
      for (const auto& item : found)
         count += item.folder == f && item.usable;
      path.add({std::to_string(f + 1), folders[f].path, folders[f].origin,
                !exists[f] ? "missing"
                           : std::to_string(count) + (count == 1 ? " plug-in" : " plug-ins")});
   }
   out << path.text("  ") << '\n';
   TextTable table({"file", "name", "vendor", "unique ID", "in", "out", "folder"}, "llllrrl");
   std::string unusable;
   size_t usable = 0;
   for (const auto& item : found) {
      if (!item.usable) {
         unusable += "  " + item.path + ": " + item.problem + "\n";
         continue;
      }
      ++usable;
      const auto& s = item.summary;
      const std::string id = fourCharText(s.uniqueId);
      std::string folder = std::to_string(item.folder + 1);
      if (item.shadowed) {
         folder += ", hidden by " + std::to_string(found[firstByName[item.file]].folder + 1);
      }
      table.add({item.file, s.name, s.vendor,
                 id.empty() ? std::to_string(static_cast<uint32_t>(s.uniqueId)) : id,
                 std::to_string(s.inputs), std::to_string(s.outputs), folder});
   }
   if (usable > 0) out << "plug-ins:\n" << table.text("  ");
   if (!unusable.empty()) out << (usable > 0 ? "\n" : "") << "not usable:\n" << unusable;
   if (found.empty()) {
      out << "no plug-ins found; set VST_PATH or install into one of the folders above\n";
   }
   std::cout << out.str();
   return 0;
}

} // namespace plughost
