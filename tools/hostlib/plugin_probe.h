// SPDX-License-Identifier: MIT
// Loading a plug-in in a child process first, so that one that crashes, hangs or ends the process
// while it is loaded and opened is reported instead of taking plughost down with it.
#pragma once

#include "tools/hostlib/tool_error.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plughost {

// What the child found out about the instance it opened.
struct PluginSummary {
   std::string name;
   std::string vendor;
   int32_t uniqueId = 0;
   int32_t inputs = 0;
   int32_t outputs = 0;
   int32_t parameters = 0;
   int32_t category = 0; // the answer to effGetPlugCategory
   int32_t flags = 0;
};

// How one probe ended.
struct ProbeOutcome {
   enum class Status { opened, refused, crashed, hung };
   Status status = Status::opened;
   PluginSummary summary; // when opened
   // When not opened: the error as probePlugin throws it.
   ExitCode code = ExitCode::ok;
   std::string problem, hint;
};

// Probes every library of `paths` as probePlugin does, up to `atOnce` children at a time, each
// with its own time limit. The outcomes are in the order of `paths`. Throws ToolError only if
// no child can be started at all.
std::vector<ProbeOutcome> probePlugins(const std::vector<std::string>& paths, size_t atOnce,
                                       double timeoutSeconds);

// Loads the library at `path` in a forked child, calls its entry, opens the instance, reads its
// name and vendor and closes it again. Throws the child's ToolError as it was (a library that
// is no plug-in), or ToolError(ExitCode::plugin) if the child died of a signal, ended the
// process itself or took longer than `timeoutSeconds`. The child writes no core file and
// nothing to the terminal.
PluginSummary probePlugin(const std::string& path, double timeoutSeconds = 60.0);

} // namespace plughost
