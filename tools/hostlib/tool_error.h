// SPDX-License-Identifier: MIT
// The older form of the library's errors, still thrown by the parts that name an error's class
// as plughost's exit code does. It is a trimwise::host::Error of the matching kind, so callers
// catch both alike; the public facade turns it into the typed error of its kind.
#pragma once

#include <trimwise/host/errors.h>

#include <string>

namespace plughost {

// Classes of errors, named after plughost's exit codes (only plughost's main() gives them
// numbers to the shell).
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

constexpr trimwise::host::ErrorKind errorKind(ExitCode code) {
   using trimwise::host::ErrorKind;
   switch (code) {
   case ExitCode::usage:
      return ErrorKind::badArgument;
   case ExitCode::file:
      return ErrorKind::file;
   case ExitCode::plugin:
      return ErrorKind::load;
   default:
      return ErrorKind::failed;
   }
}

class ToolError : public trimwise::host::Error {
public:
   ToolError(ExitCode code, const std::string& cause, std::string hint)
       : Error(errorKind(code), cause, std::move(hint)), code_(code) {}

   ExitCode code() const { return code_; }

private:
   ExitCode code_;
};

} // namespace plughost
