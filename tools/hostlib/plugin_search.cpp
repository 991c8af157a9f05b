// SPDX-License-Identifier: MIT
#include "tools/hostlib/plugin_search.h"

#include "tools/hostlib/elf_symbols.h"
#include "tools/hostlib/tool_error.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <set>
#include <utility>

namespace plughost {
namespace {

constexpr const char* kSystemFolders[] = {"/usr/local/lib/vst", "/usr/local/lib/lxvst",
                                          "/usr/lib/vst", "/usr/lib/lxvst"};

// Deeper than any plug-in collection nests; only a guard against pathological trees.
constexpr int kMaxDepth = 32;

std::string homeFolder() {
   if (const char* home = std::getenv("HOME"); home && *home) return home;
   if (const passwd* user = getpwuid(getuid()); user && user->pw_dir) return user->pw_dir;
   return "";
}

bool endsWith(const std::string& text, const std::string& end) {
   return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool isRegularFile(const std::string& path) {
   struct stat info {};
   return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Adds the folders of a colon-separated list, skipping empty entries.
void appendList(std::vector<SearchFolder>& folders, const std::string& text, const char* origin) {
   for (size_t start = 0; start <= text.size();) {
      const size_t colon = std::min(text.find(':', start), text.size());
      if (colon > start) folders.push_back({text.substr(start, colon - start), origin});
      start = colon + 1;
   }
}

std::string folderList(const std::vector<SearchFolder>& folders) {
   std::string list;
   for (const auto& f : folders)
      list += (list.empty() ? "" : ", ") + f.path;
   return list;
}

std::string realPath(const std::string& path) {
   char resolved[PATH_MAX];
   return realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

bool exportsEntry(const std::string& path) {
   try {
      for (const auto& symbol : exportedSymbolsOfFile(path)) {
         if (symbol.name == "VSTPluginMain" || symbol.name == "main") return true;
      }
   } catch (const std::exception&) {
      // Not a well-formed ELF object (a linker script, a text file): no plug-in either.
   }
   return false;
}

// One walk over the search path; folders are identified by device and inode, so that each is
// read once however many links lead to it.
class Search {
public:
   explicit Search(bool checkEntries) : checkEntries_(checkEntries) {}

   void folder(const std::string& path, size_t index) {
      folder_ = index;
      walk(path, "", 0);
   }

   SearchResult result;

private:
   void walk(const std::string& path, const std::string& relative, int depth) {
      struct stat info {};
      if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return;
      if (!visited_.emplace(info.st_dev, info.st_ino).second) return;
      DIR* dir = opendir(path.c_str());
      if (!dir) {
         result.unreadable.push_back(path);
         return;
      }
      std::vector<std::string> names;
      while (const dirent* entry = readdir(dir)) {
         const std::string name = entry->d_name;
         if (name != "." && name != "..") names.push_back(name);
      }
      closedir(dir);
      std::sort(names.begin(), names.end());
      for (const auto& name : names) {
         const std::string child = path + "/" + name;
         const std::string childRelative = relative.empty() ? name : relative + "/" + name;
         struct stat entry {};
         if (stat(child.c_str(), &entry) != 0) continue; // a dangling link
         if (S_ISDIR(entry.st_mode)) {
            if (endsWith(name, ".vst") && bundle(child, childRelative, name)) continue;
            if (depth < kMaxDepth) walk(child, childRelative, depth + 1);
         } else if (S_ISREG(entry.st_mode) && endsWith(name, ".so")) {
            add(child, childRelative, name.substr(0, name.size() - 3));
         }
      }
   }

   // A folder X.vst holding its library: the library is the plug-in, the rest of the bundle
   // (resources, helper libraries) is not searched.
   bool bundle(const std::string& path, const std::string& relative, const std::string& name) {
      const std::string stem = name.substr(0, name.size() - 4);
      for (const std::string& inside :
           {stem + ".so", std::string("Contents/") + kBundleArch + "/" + stem + ".so"}) {
         if (isRegularFile(path + "/" + inside)) {
            add(path + "/" + inside, relative + "/" + inside, stem);
            return true;
         }
      }
      return false;
   }

   void add(const std::string& path, const std::string& relative, const std::string& name) {
      std::string real = realPath(path);
      if (!seen_.insert(real).second) return;
      if (checkEntries_ && !exportsEntry(real)) {
         result.notPlugins.push_back(std::move(real));
         return;
      }
      result.plugins.push_back({std::move(real), relative, name, folder_});
   }

   bool checkEntries_;
   size_t folder_ = 0;
   std::set<std::pair<dev_t, ino_t>> visited_;
   std::set<std::string> seen_;
};

} // namespace

std::vector<SearchFolder> searchPath() {
   std::vector<SearchFolder> folders;
   if (const char* vstPath = std::getenv("VST_PATH")) appendList(folders, vstPath, "VST_PATH");
   if (const char* lxvstPath = std::getenv("LXVST_PATH")) {
      appendList(folders, lxvstPath, "LXVST_PATH");
   }
   if (const std::string home = homeFolder(); !home.empty()) {
      folders.push_back({home + "/.vst", "home"});
      folders.push_back({home + "/.lxvst", "home"});
   }
   if (const char* system = std::getenv("PLUGHOST_SYSTEM_PATH")) {
      appendList(folders, system, "system");
   } else {
      for (const char* folder : kSystemFolders)
         folders.push_back({folder, "system"});
   }
   return folders;
}

SearchResult findPlugins(const std::vector<SearchFolder>& folders, bool checkEntries) {
   Search search(checkEntries);
   for (size_t f = 0; f < folders.size(); ++f)
      search.folder(folders[f].path, f);
   return std::move(search.result);
}

std::string findPlugin(const std::string& nameOrPath) {
   if (nameOrPath.find('/') != std::string::npos) return nameOrPath;
   // dlopen would search the library path for a bare name; make a local file a path instead.
   if (isRegularFile(nameOrPath)) return "./" + nameOrPath;
   const auto folders = searchPath();
   for (const auto& found : findPlugins(folders, false).plugins) {
      if (nameOrPath == found.name || nameOrPath == found.name + ".so" ||
          nameOrPath == found.name + ".vst") {
         return found.path;
      }
   }
   throw ToolError(ExitCode::plugin,
                   "no plug-in '" + nameOrPath + "' here or in " + folderList(folders),
                   "give the path to the library, or add its folder to VST_PATH");
}

} // namespace plughost
