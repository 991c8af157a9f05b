// SPDX-License-Identifier: MIT
// `plughost validate`: runs the conformance checks on one plug-in, each in a child process of
// its own with a time limit, and reports one line per check and a closing count; or on a whole
// collection (several plug-ins, or --all), several at once, with a summary table.
#pragma once

#include "tools/hostlib/json.h"
#include "tools/validate/validation.h"

#include <cstdint>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace plughost::validate {

struct ValidateOptions {
   std::vector<std::string> plugins; // paths or names on the search path
   bool all = false;                 // every plug-in on the search path
   bool listChecks = false;
   std::string checkPattern; // run only the checks whose names match (ECMAScript regex)
   std::string skipPattern;  // report the checks whose names match as skipped
   uint64_t seed = 1;
   bool json = false;
   std::string level = "host";         // host, strict or hostile
   std::string junitPath;              // also write a JUnit XML report here
   double timeoutSeconds = 120;        // per check
   double pluginTimeoutSeconds = 1800; // per plug-in of a collection
   int jobs = 0;                       // plug-ins at once; 0: one per core
   double scale = 0;                   // iteration counts; 0: PLUGHOST_VALIDATE_SCALE, or 1
   bool memcheck = false;              // run under valgrind's memcheck
};

// Adds the subcommand to `app`, parsing into `options`, which must outlive the parse. When the
// subcommand was chosen, call runValidate with them.
CLI::App* addValidateCommand(CLI::App& app, ValidateOptions& options);

// Runs the checks as `options` say and returns the exit code: 0 if none failed, 1 if any did
// (or, in a collection, a plug-in could not be loaded). Throws ToolError for a wrong command
// line (usage), or a single plug-in that cannot be loaded.
int runValidate(const ValidateOptions& options);

// One plug-in's JSON record as --json prints it: what was run, how it ended, every check. Also
// what `plughost analyze --validate` adds to each plug-in of a collection.
Json recordOf(const PluginReport& report, const ValidationSettings& settings);

} // namespace plughost::validate
