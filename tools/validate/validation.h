// SPDX-License-Identifier: MIT
// Running the checks on one plug-in: each selected check in a child process of its own with a
// time limit, its result judged from how the child ended. Prints nothing; a front end chooses
// the checks, runs them here and reports what came back.
#pragma once

#include "tools/validate/check.h"

#include <cstdint>
#include <functional>
#include <regex>
#include <string>
#include <vector>

namespace plughost::validate {

struct ValidationSettings {
   Level level = Level::host;
   uint64_t seed = 1;
   double scale = 1.0;
   double timeoutSeconds = 120; // per check
};

// The checks to run, in their order, and those to report as skipped.
struct Selection {
   std::vector<const Check*> checks;
   std::regex skip{"$^"};
};

// The checks whose names match `only` (every check when empty), skipping those that match
// `skip`. Throws ToolError(usage) for a pattern that is no ECMAScript regular expression or
// one that matches no check.
Selection selectChecks(const std::string& only, const std::string& skip);

struct CheckOutcome {
   std::string name;
   Level level = Level::host;
   CheckResult result;
   double seconds = 0;
};

// What one plug-in's run came to.
struct PluginReport {
   std::string plugin;
   bool loadable = true;
   std::string problem, hint; // why it could not be loaded
   std::vector<CheckOutcome> checks;
   double seconds = 0;

   int count(Status status) const;
   bool failed() const { return !loadable || count(Status::fail) > 0; }
};

// Loads the plug-in once in a child, so that one that cannot be loaded (or crashes while
// loading) is told apart before any check runs; throws ToolError(ExitCode::plugin) if so.
void requireLoadable(const std::string& pluginPath, double timeoutSeconds);

// Runs `selection` on the plug-in at `pluginPath` (which requireLoadable has passed), each check
// in a child, calling `onStart` (if set) before each check that runs and `onCheck` as each ends.
PluginReport validatePlugin(const std::string& pluginPath, const ValidationSettings& settings,
                            const Selection& selection,
                            const std::function<void(const Check&)>& onStart = {},
                            const std::function<void(const CheckOutcome&)>& onCheck = {});

} // namespace plughost::validate
