// SPDX-License-Identifier: MIT
// Errors of the command-line host. Each carries the exit code of its class and a hint that tells
// the user what to do about it; main() prints both and exits with the code.
#pragma once

#include <stdexcept>
#include <string>

namespace plughost {

// Exit codes by class, as documented in `plughost --help`.
enum class ExitCode : int {
   ok = 0,
   failed = 1, // the command ran and did not succeed: `validate` found faults, a plug-in crashed
   usage = 2,  // the command line is wrong
   file = 3,   // an input could not be read or an output could not be written
   plugin = 4, // the plug-in could not be loaded: no library, no entry, no record, a crash
   // Names kept for the callers that say what kind of failure they mean.
   validationFailed = failed,
   internal = failed, // a bug in plughost itself
};

class ToolError : public std::runtime_error {
public:
   ToolError(ExitCode code, const std::string& cause, std::string hint)
       : std::runtime_error(cause), code_(code), hint_(std::move(hint)) {}

   ExitCode code() const { return code_; }
   const std::string& hint() const { return hint_; }

private:
   ExitCode code_;
   std::string hint_;
};

} // namespace plughost
