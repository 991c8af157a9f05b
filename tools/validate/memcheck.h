// SPDX-License-Identifier: MIT
// `plughost validate --memcheck`: the whole validator runs under valgrind's memcheck, every check
// child included, each writing its own XML report. Here the runner learns whether it runs so,
// which checks valgrind makes meaningless, and reads a child's report for the errors that are
// the plug-in's own.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace plughost::validate {

// The environment variable that holds the folder of the XML reports while the validator runs
// under memcheck; unset otherwise.
inline constexpr const char* kMemcheckEnvironment = "PLUGHOST_MEMCHECK_DIR";

// The folder of the reports when this process runs under memcheck for --memcheck, else empty.
std::string memcheckFolder();

// Why a check means nothing under valgrind (it replaces the allocator and ignores flush-to-zero
// and the floating-point control state), or empty if it runs as usual.
std::string memcheckSkipReason(const std::string& checkName);

// One error memcheck reported.
struct MemoryError {
   std::string kind;                // InvalidRead, UninitCondition, ClientCheck, ...
   std::string what;                // "Invalid write of size 4"
   std::vector<std::string> frames; // "function (library)", innermost first
   std::string address;             // what valgrind says of the address, if anything
   bool plugins = false;            // the plug-in's own, not the host's or a system library's
};

// The errors in the report memcheck wrote for process `pid` in `folder` (none if it wrote none):
// invalid reads and writes, uninitialised values that decide a branch, invalid and mismatched
// frees, and outputs the host found undefined. An error is the plug-in's when the first frame of
// its stack outside libc, the dynamic loader, libstdc++ and valgrind's preload is not the host's
// (`hostExecutable`), or when the host's check of the plug-in's output found it undefined.
std::vector<MemoryError> memoryErrors(const std::string& folder, pid_t pid,
                                      const std::string& hostExecutable);

// One line for a check's result: the first of the plug-in's errors with the call it happened in
// and its first frames, and how many more there were; empty when there were none.
std::string describeMemoryErrors(const std::vector<MemoryError>& errors);

// The suppressions shipped with plughost for what the host and the system libraries cause.
extern const char* const kMemcheckSuppressions;

} // namespace plughost::validate
