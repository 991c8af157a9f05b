#include "tools/hostlib/plugin_search.h"

#include "tools/hostlib/tool_error.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace plughost {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSystemFolders[] = {"/usr/local/lib/vst", "/usr/lib/vst"};

std::string homeFolder() {
   if (const char* home = std::getenv("HOME"); home && *home) return home;
   if (const passwd* user = getpwuid(getuid()); user && user->pw_dir) return user->pw_dir;
   return "";
}

bool isFile(const fs::path& path) {
   std::error_code error;
   return fs::is_regular_file(path, error);
}

bool endsWith(const std::string& text, const std::string& end) {
   return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string folderList(const std::vector<SearchFolder>& folders) {
   std::string list;
   for (const auto& f : folders)
      list += (list.empty() ? "" : ", ") + f.path;
   return list;
}

// Adds the folders of a colon-separated list, skipping empty entries.
void appendList(std::vector<SearchFolder>& folders, const std::string& text, const char* origin) {
   for (size_t start = 0; start <= text.size();) {
      const size_t colon = std::min(text.find(':', start), text.size());
      if (colon > start) folders.push_back({text.substr(start, colon - start), origin});
      start = colon + 1;
   }
}

} // namespace

std::vector<SearchFolder> searchPath() {
   std::vector<SearchFolder> folders;
   if (const char* vstPath = std::getenv("VST_PATH")) appendList(folders, vstPath, "VST_PATH");
   if (const std::string home = homeFolder(); !home.empty()) {
      folders.push_back({(fs::path(home) / ".vst").string(), "home"});
   }
   if (const char* system = std::getenv("PLUGHOST_SYSTEM_PATH")) {
      appendList(folders, system, "system");
   } else {
      for (const char* folder : kSystemFolders)
         folders.push_back({folder, "system"});
   }
   return folders;
}

std::vector<std::string> pluginFilesIn(const std::string& folder) {
   std::vector<std::string> files;
   std::error_code error;
   for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
      const std::string name = it->path().filename().string();
      if (endsWith(name, ".so") && isFile(it->path())) files.push_back(it->path().string());
   }
   std::sort(files.begin(), files.end());
   return files;
}

std::string findPlugin(const std::string& nameOrPath) {
   if (nameOrPath.find('/') != std::string::npos) return nameOrPath;
   // dlopen would search the library path for a bare name; make a local file a path instead.
   if (isFile(nameOrPath)) return "./" + nameOrPath;
   const auto folders = searchPath();
   for (const auto& folder : folders) {
      for (const std::string& name : {nameOrPath, nameOrPath + ".so"}) {
         const fs::path candidate = fs::path(folder.path) / name;
         if (isFile(candidate)) return candidate.string();
         if (endsWith(nameOrPath, ".so")) break;
      }
   }
   throw ToolError(ExitCode::plugin,
                   "no plug-in '" + nameOrPath + "' here or in " + folderList(folders),
                   "give the path to the library, or set VST_PATH; 'plughost list' shows what "
                   "is found");
}

} // namespace plughost
