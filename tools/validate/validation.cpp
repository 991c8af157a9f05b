// SPDX-License-Identifier: MIT
#include "tools/validate/validation.h"

#include "tools/hostlib/child_process.h"
#include "tools/hostlib/plugin_module.h"
#include "tools/hostlib/tool_error.h"
#include "tools/validate/check_support.h"
#include "tools/validate/memcheck.h"

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace plughost::validate {
namespace {

// What a child reports through its pipe: one status letter, then the detail.
constexpr char kPass = 'P';
constexpr char kFail = 'F';
constexpr char kSkip = 'S';
constexpr char kWarn = 'W';
// A child that could not even load the plug-in: the cause, a newline, the hint.
constexpr char kNotLoadable = 'L';

// Runs `body` in a child with the check's time limit; an exception out of it is a failure.
ChildResult runCheckChild(double timeoutSeconds, const ChildProcess::Body& body) {
   ChildOptions options;
   options.timeoutSeconds = timeoutSeconds;
   return runInChild(body, options, kFail);
}

// The result of one check from what its child did.
CheckResult judge(const ChildResult& outcome, double timeoutSeconds) {
   CheckResult r;
   const std::string in = outcome.inFlightSuffix();
   const char status = outcome.output.empty() ? 0 : outcome.output[0];
   const std::string detail = outcome.output.empty() ? "" : outcome.output.substr(1);
   if (outcome.timedOut) {
      r.status = Status::fail;
      r.detail = format("did not finish within %g s and was killed", timeoutSeconds) +
                 (in.empty() ? "" : "; it was" + in + " when stopped");
      return r;
   }
   if (outcome.signaled()) {
      r.status = Status::fail;
      const std::string sig = outcome.endText();
      r.detail = status == 0 ? "crashed with " + sig + in
                             : "crashed with " + sig + " after the check (while unloading?)" + in;
      return r;
   }
   if (status == 0) {
      r.status = Status::fail;
      r.detail = format("the check process exited with status %d without a result (a sanitizer "
                        "report above?)",
                        outcome.exitStatus()) +
                 in;
      return r;
   }
   r.status = status == kPass   ? Status::pass
              : status == kSkip ? Status::skip
              : status == kWarn ? Status::warn
                                : Status::fail;
   r.detail = detail + in;
   if (outcome.exitStatus() > 0) {
      r.status = Status::fail;
      r.detail += format(" (then exited with status %d)", outcome.exitStatus());
   }
   return r;
}

std::regex compilePattern(const std::string& pattern, const char* option) {
   try {
      return std::regex(pattern, std::regex::ECMAScript);
   } catch (const std::regex_error& e) {
      throw ToolError(ExitCode::usage,
                      std::string("invalid ") + option + " pattern '" + pattern + "': " + e.what(),
                      std::string("give an ECMAScript regular expression, e.g. ") + option +
                          " '^process\\.'");
   }
}

// The host's own executable, as memcheck names it in a stack.
std::string hostExecutable() {
   char path[PATH_MAX];
   return ::realpath("/proc/self/exe", path) ? path : "";
}

// Under memcheck, the plug-in's memory errors in the check's child fail the check, ahead of
// whatever the check itself found.
void addMemoryErrors(CheckResult& result, pid_t child) {
   const std::string folder = memcheckFolder();
   if (folder.empty()) return;
   const std::string errors = describeMemoryErrors(memoryErrors(folder, child, hostExecutable()));
   if (errors.empty()) return;
   result.detail = errors + "; the check: " + statusWord(result.status) + " " + result.detail;
   result.status = Status::fail;
}

} // namespace

int PluginReport::count(Status status) const {
   int n = 0;
   for (const auto& c : checks)
      n += c.result.status == status;
   return n;
}

Selection selectChecks(const std::string& only, const std::string& skip) {
   const std::regex match = compilePattern(only.empty() ? "." : only, "--check");
   Selection selection;
   selection.skip = compilePattern(skip.empty() ? "$^" : skip, "--skip");
   for (const Check& c : allChecks()) {
      if (std::regex_search(c.name, match)) selection.checks.push_back(&c);
   }
   if (selection.checks.empty()) {
      throw ToolError(ExitCode::usage, "no check matches '" + only + "'",
                      "see the names with: plughost validate --list-checks");
   }
   return selection;
}

void requireLoadable(const std::string& pluginPath, double timeoutSeconds) {
   if (::access(pluginPath.c_str(), R_OK) != 0) {
      throw ToolError(ExitCode::plugin,
                      "cannot read plug-in '" + pluginPath + "': " + strerror(errno),
                      "check the path to the plug-in's shared library");
   }
   const ChildResult outcome = runCheckChild(timeoutSeconds, [&]() -> std::string {
      try {
         auto module = PluginModule::load(pluginPath);
         return std::string(1, kPass);
      } catch (const ToolError& e) {
         return std::string(1, kNotLoadable) + e.what() + "\n" + e.hint();
      }
   });
   const char status = outcome.output.empty() ? 0 : outcome.output[0];
   if (status == kPass && outcome.exitStatus() == 0) return;
   if (status == kNotLoadable) {
      const std::string detail = outcome.output.substr(1);
      const size_t nl = detail.find('\n');
      throw ToolError(ExitCode::plugin, detail.substr(0, nl),
                      nl == std::string::npos ? "" : detail.substr(nl + 1));
   }
   const CheckResult r = judge(outcome, timeoutSeconds);
   throw ToolError(ExitCode::plugin, "loading '" + pluginPath + "' " + r.detail,
                   "the library's start-up code fails; run it under a debugger");
}

PluginReport validatePlugin(const std::string& pluginPath, const ValidationSettings& settings,
                            const Selection& selection,
                            const std::function<void(const Check&)>& onStart,
                            const std::function<void(const CheckOutcome&)>& onCheck) {
   const auto started = std::chrono::steady_clock::now();
   CheckContext context;
   context.pluginPath = pluginPath;
   context.seed = settings.seed;
   context.scale = settings.scale;
   context.level = settings.level;

   PluginReport report;
   report.plugin = pluginPath;
   for (const Check* check : selection.checks) {
      CheckOutcome outcome{check->name, check->level, {}, 0};
      if (check->level > settings.level) {
         outcome.result = {Status::skip, std::string("runs at --level ") + levelName(check->level)};
      } else if (std::regex_search(check->name, selection.skip)) {
         outcome.result = {Status::skip, "skipped by --skip"};
      } else if (const std::string why = memcheckSkipReason(check->name); !why.empty()) {
         outcome.result = {Status::skip, "under --memcheck: " + why};
      } else {
         if (onStart) onStart(*check);
         const ChildResult child = runCheckChild(settings.timeoutSeconds, [&]() -> std::string {
            const CheckResult r = check->run(context);
            const char letter = r.status == Status::pass   ? kPass
                                : r.status == Status::skip ? kSkip
                                : r.status == Status::warn ? kWarn
                                                           : kFail;
            return std::string(1, letter) + r.detail;
         });
         outcome.result = judge(child, settings.timeoutSeconds);
         addMemoryErrors(outcome.result, child.pid);
         outcome.seconds = child.seconds;
      }
      if (onCheck) onCheck(outcome);
      report.checks.push_back(std::move(outcome));
   }
   report.seconds =
       std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
   return report;
}

} // namespace plughost::validate
