// Where plug-ins are looked for: a plug-in named by a bare name is searched in the folders of
// VST_PATH (colon-separated), then ~/.vst, /usr/local/lib/vst and /usr/lib/vst.
#pragma once

#include <string>
#include <vector>

namespace plughost {

struct SearchFolder {
   std::string path;
   std::string origin; // "VST_PATH", "home" or "system": why the folder is on the path
};

// The search path in order, from the environment as it is now. Empty entries of VST_PATH are
// skipped; folders that do not exist are kept, so that `list` can say so.
std::vector<SearchFolder> searchPath();

// The files in `folder` that may be plug-ins: regular files (or links to them) whose names end
// in ".so", directly in the folder, sorted by name. Empty if the folder cannot be read.
std::vector<std::string> pluginFilesIn(const std::string& folder);

// The library to load for PLUGIN as given on the command line. A name holding a slash, or naming
// a file in the working folder, is a path; any other name is looked up in each search folder as
// given and with ".so" added. Throws ToolError(ExitCode::plugin) if a bare name is found nowhere.
std::string findPlugin(const std::string& nameOrPath);

} // namespace plughost
