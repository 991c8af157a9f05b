// Loading a plug-in in a child process first, so that one that crashes, hangs or ends the process
// while it is loaded and opened is reported instead of taking plughost down with it.
#pragma once

#include <cstdint>
#include <string>

namespace plughost {

// What the child found out about the instance it opened.
struct PluginSummary {
   std::string name;
   std::string vendor;
   int32_t uniqueId = 0;
   int32_t inputs = 0;
   int32_t outputs = 0;
   int32_t parameters = 0;
};

// Loads the library at `path` in a forked child, calls its entry, opens the instance, reads its
// name and vendor and closes it again. Throws the child's ToolError as it was (a library that
// is no plug-in), or ToolError(ExitCode::plugin) if the child died of a signal, ended the
// process itself or took longer than `timeoutSeconds`. The child writes no core file and
// nothing to the terminal.
PluginSummary probePlugin(const std::string& path, double timeoutSeconds = 60.0);

} // namespace plughost
