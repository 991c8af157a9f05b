// `plughost validate`: runs the conformance checks on a plug-in, each in a child process of its
// own with a time limit, and reports one line per check and a closing count.
#pragma once

#include <cstdint>
#include <string>

namespace CLI {
class App;
}

namespace plughost::validate {

struct ValidateOptions {
   std::string pluginPath;
   bool listChecks = false;
   std::string checkPattern; // run only the checks whose names match (ECMAScript regex)
   std::string skipPattern;  // report the checks whose names match as skipped
   uint64_t seed = 1;
   bool json = false;
   double timeoutSeconds = 300; // per check
   double scale = 1.0;          // iteration counts; PLUGHOST_VALIDATE_SCALE sets the default
};

// Adds the subcommand to `app`. When it is chosen, its callback runs the checks and stores
// the exit code in `exitCode`.
CLI::App* addValidateCommand(CLI::App& app, int& exitCode);

// Runs the checks as `options` say and returns the exit code: 0 if none failed, 1 if any did.
// Throws ToolError for a wrong command line (usage) or a plug-in that cannot be loaded.
int runValidate(const ValidateOptions& options);

} // namespace plughost::validate
