// SPDX-License-Identifier: MIT
// Where plug-ins are looked for, and how they are found there. The search path is, in order:
// the folders of VST_PATH, then of LXVST_PATH (both colon-separated), ~/.vst, ~/.lxvst,
// /usr/local/lib/vst, /usr/local/lib/lxvst, /usr/lib/vst and /usr/lib/lxvst. Each folder is
// searched with its subfolders, as hosts do.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace plughost {

struct SearchFolder {
   std::string path;
   std::string origin; // "VST_PATH", "LXVST_PATH", "home" or "system": why it is on the path
};

// The folder inside an X.vst bundle's Contents that holds the library for this machine.
#if defined(__x86_64__)
inline constexpr const char* kBundleArch = "x86_64-linux";
#elif defined(__aarch64__)
inline constexpr const char* kBundleArch = "aarch64-linux";
#elif defined(__i386__)
inline constexpr const char* kBundleArch = "i686-linux";
#else
inline constexpr const char* kBundleArch = "unknown-linux";
#endif

// The search path in order, from the environment as it is now. Empty list entries are skipped;
// folders that do not exist are kept, so that `list` can say so. PLUGHOST_SYSTEM_PATH, when
// set, replaces the four system folders (an empty value: none), for tests and sandboxes.
std::vector<SearchFolder> searchPath();

// One library found on the search path.
struct FoundPlugin {
   std::string path;     // the library's real path: links and ".." resolved
   std::string relative; // where it was found, relative to its search folder
   std::string name;     // what a bare name matches: the file name without ".so", or the
                         // bundle's without ".vst"
   size_t folder = 0;    // index of the search folder it was found in first
};

struct SearchResult {
   // In search order: folder by folder, each one depth first with names sorted. A library
   // reachable by several paths is here once, under the first.
   std::vector<FoundPlugin> plugins;
   // Shared libraries left out because their dynamic symbols hold no entry point.
   std::vector<std::string> notPlugins;
   // Folders that exist but could not be read, search folders included.
   std::vector<std::string> unreadable;
};

// Searches every folder and its subfolders for "*.so" files and "X.vst" bundles (X.vst/X.so
// or X.vst/Contents/<arch>-linux/X.so). Links are followed, each folder is read once, so links
// that form loops end; sockets, FIFOs and devices are never opened. With `checkEntries`, a
// library whose ELF dynamic symbols define neither `VSTPluginMain` nor `main` is set aside
// without being loaded.
SearchResult findPlugins(const std::vector<SearchFolder>& folders, bool checkEntries = true);

// The library to load for PLUGIN as given on the command line. A name holding a slash, or naming
// a file in the working folder, is a path; any other name is the first plug-in on the search
// path whose name is it, with or without ".so" or ".vst". Throws ToolError(ExitCode::plugin) if
// a bare name is found nowhere.
std::string findPlugin(const std::string& nameOrPath);

} // namespace plughost
