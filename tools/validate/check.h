// SPDX-License-Identifier: MIT
// One named check of `plughost validate`: what it is called, what it proves, the level it
// belongs to, and the function that runs it. Every check runs in a child process of its own,
// so it may crash or hang without taking the validator down; it reports by returning a
// CheckResult.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plughost::validate {

// How much a run asks of a plug-in; each level includes the ones below it.
//  host:    what real hosts do and rely on; a plug-in that works in hosts passes.
//  strict:  what the interface defines for every plug-in (text limits, exports, real-time
//           safety, the host's floating-point and locale state, denormal cost).
//  hostile: calls no sane host makes: null callbacks and buffers, random and extreme
//           commands, calls out of order.
enum class Level { host, strict, hostile };
const char* levelName(Level level);
// Throws ToolError(usage) for a name that is not a level.
Level parseLevel(const std::string& name);

// warn: something a user should know that no host suffers from; never changes the exit code.
enum class Status { pass, fail, skip, warn };
const char* statusWord(Status status);

struct CheckResult {
   Status status = Status::pass;
   std::string detail;
};

// What every check is given.
struct CheckContext {
   std::string pluginPath;
   Level level = Level::host;
   uint64_t seed = 1;  // drives every pseudo-random choice, so a failure can be repeated
   double scale = 1.0; // multiplies iteration counts; 1 gives the documented numbers
   // Iterations after scaling, never fewer than `minimum`.
   int64_t scaled(int64_t count, int64_t minimum = 1) const;
   bool atLeast(Level l) const { return level >= l; }
};

using CheckFunction = CheckResult (*)(const CheckContext&);

// What a fault found by a check means for the exit code: a failure, a warning, or both
// (some findings fail, others only warn).
enum class Severity { fails, warns, failsOrWarns };

struct Check {
   const char* name;
   const char* summary; // one line for --list-checks
   Level level;         // the lowest level that runs it
   Severity severity;
   CheckFunction run;
};

// Every check in the order they run: loading, lifecycle, processing, state, parameters, texts,
// concurrency, real-time safety, host state, commands.
const std::vector<Check>& allChecks();

// Each area of checks lists its own.
std::vector<Check> loadingChecks();
std::vector<Check> lifecycleChecks();
std::vector<Check> processingChecks();
std::vector<Check> stateChecks();
std::vector<Check> parameterChecks();
std::vector<Check> textChecks();
std::vector<Check> concurrencyChecks();
std::vector<Check> realtimeChecks();
std::vector<Check> hostStateChecks();
std::vector<Check> commandChecks();

// Collects what a check found: the first problem in full and how many more there were, plus
// warnings, which make a passing check WARN instead of PASS.
class Findings {
public:
   void fail(std::string problem);
   void warn(std::string warning);
   bool failed() const { return problems_ > 0; }
   bool warned() const { return !warnings_.empty(); }
   // FAIL with the first problem, else WARN or PASS with `passDetail`; warnings are appended.
   CheckResult result(const std::string& passDetail) const;

private:
   std::string first_;
   int64_t problems_ = 0;
   std::vector<std::string> warnings_;
};

} // namespace plughost::validate
