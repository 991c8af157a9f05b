// Errors of the command-line host. Each carries the exit code of its class and a hint that tells
// the user what to do about it; main() prints both and exits with the code.
#pragma once

#include <stdexcept>
#include <string>

namespace plughost {

// Exit codes by class, as documented in `plughost --help`.
enum class ExitCode : int {
   ok = 0,
   validationFailed = 1, // `validate` ran and found at least one fault
   usage = 2,            // the command line is wrong
   plugin = 3,           // the plug-in could not be loaded or refused to start
   audio = 4,            // an audio file could not be read or written
   internal = 70,        // a bug in plughost itself
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
