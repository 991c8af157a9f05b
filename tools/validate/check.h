// One named check of `plughost validate`: what it is called, what it proves, and the function
// that runs it. Every check runs in a child process of its own, so it may crash or hang without
// taking the validator down; it reports by returning a CheckResult.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plughost::validate {

enum class Status { pass, fail, skip };

struct CheckResult {
   Status status = Status::pass;
   std::string detail;
};

// What every check is given.
struct CheckContext {
   std::string pluginPath;
   uint64_t seed = 1;  // drives every pseudo-random choice, so a failure can be repeated
   double scale = 1.0; // multiplies iteration counts; 1 gives the documented numbers
   // Iterations after scaling, never fewer than `minimum`.
   int64_t scaled(int64_t count, int64_t minimum = 1) const;
};

using CheckFunction = CheckResult (*)(const CheckContext&);

struct Check {
   const char* name;
   const char* summary; // one line for --list-checks
   CheckFunction run;
};

// Every check in the order they run: the host library's quick checks, loading, lifecycle,
// processing, parameters, texts, concurrency, real-time safety, host state, commands.
const std::vector<Check>& allChecks();

// Each area of checks lists its own.
std::vector<Check> basicChecks();
std::vector<Check> loadingChecks();
std::vector<Check> lifecycleChecks();
std::vector<Check> processingChecks();
std::vector<Check> parameterChecks();
std::vector<Check> textChecks();
std::vector<Check> concurrencyChecks();
std::vector<Check> realtimeChecks();
std::vector<Check> hostStateChecks();
std::vector<Check> commandChecks();

// Collects what a check found: the first problem in full and how many more there were, plus
// warnings that do not fail the check.
class Findings {
public:
   void fail(std::string problem);
   void warn(std::string warning);
   bool failed() const { return problems_ > 0; }
   // FAIL with the first problem, or PASS with `passDetail`; warnings are appended to either.
   CheckResult result(const std::string& passDetail) const;

private:
   std::string first_;
   int64_t problems_ = 0;
   std::vector<std::string> warnings_;
};

} // namespace plughost::validate
