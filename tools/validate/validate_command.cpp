// SPDX-License-Identifier: MIT
#include "tools/validate/validate_command.h"

#include "tools/hostlib/child_process.h"
#include "tools/hostlib/plugin_module.h"
#include "tools/hostlib/tool_error.h"
#include "tools/hostlib/json.h"
#include "tools/validate/check.h"
#include "tools/validate/check_support.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <regex>

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

// Loads the plug-in once in a child, so that a library that cannot be loaded (or crashes while
// loading) is reported as such before any check runs.
void requireLoadable(const ValidateOptions& options) {
   if (::access(options.pluginPath.c_str(), R_OK) != 0) {
      throw ToolError(ExitCode::plugin,
                      "cannot read plug-in '" + options.pluginPath + "': " + strerror(errno),
                      "check the path to the plug-in's shared library");
   }
   const ChildResult outcome = runCheckChild(options.timeoutSeconds, [&]() -> std::string {
      try {
         auto module = PluginModule::load(options.pluginPath);
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
   const CheckResult r = judge(outcome, options.timeoutSeconds);
   throw ToolError(ExitCode::plugin, "loading '" + options.pluginPath + "' " + r.detail,
                   "the library's start-up code fails; run it under a debugger");
}

const char* severityWord(Severity s) {
   switch (s) {
   case Severity::fails:
      return "fail";
   case Severity::warns:
      return "warn";
   case Severity::failsOrWarns:
      return "fail/warn";
   }
   return "?";
}

void listChecks(bool json) {
   if (json) {
      JsonWriter w;
      w.beginArray();
      for (const Check& c : allChecks()) {
         w.beginObject().key("name").value(c.name).key("level").value(levelName(c.level));
         w.key("severity").value(severityWord(c.severity)).key("summary").value(c.summary);
         w.endObject();
      }
      w.endArray();
      std::printf("%s\n", w.text().c_str());
      return;
   }
   for (const Check& c : allChecks())
      std::printf("%-28s %-7s %-9s %s\n", c.name, levelName(c.level), severityWord(c.severity),
                  c.summary);
}

std::string xmlEscape(const std::string& text) {
   std::string out;
   for (char ch : text) {
      switch (ch) {
      case '&':
         out += "&amp;";
         break;
      case '<':
         out += "&lt;";
         break;
      case '>':
         out += "&gt;";
         break;
      case '"':
         out += "&quot;";
         break;
      default:
         // XML 1.0 allows no control characters but tab, newline and return.
         if (static_cast<unsigned char>(ch) < 0x20 && ch != '\t' && ch != '\n' && ch != '\r') {
            out += '?';
         } else {
            out += ch;
         }
      }
   }
   return out;
}

struct Reported {
   const Check* check;
   CheckResult result;
   double seconds;
};

// One test suite, one test case per check: a failure, a skip with its reason, or a pass whose
// warnings go to system-out.
void writeJunit(const std::string& path, const std::string& plugin, Level level,
                const std::vector<Reported>& results, int failed, int skipped) {
   std::ofstream out(path);
   if (!out) {
      throw ToolError(ExitCode::file, "cannot write the JUnit report '" + path + "'",
                      "check that its folder exists and is writable");
   }
   double total = 0;
   for (const auto& r : results)
      total += r.seconds;
   out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
   out << "<testsuites>\n";
   out << "  <testsuite name=\"plughost validate " << xmlEscape(plugin) << " (level "
       << levelName(level) << ")\" tests=\"" << results.size() << "\" failures=\"" << failed
       << "\" errors=\"0\" skipped=\"" << skipped << "\" time=\"" << total << "\">\n";
   for (const auto& r : results) {
      out << "    <testcase classname=\"validate\" name=\"" << xmlEscape(r.check->name)
          << "\" time=\"" << r.seconds << "\">";
      const std::string detail = xmlEscape(r.result.detail);
      switch (r.result.status) {
      case Status::fail:
         out << "<failure message=\"" << detail << "\"/>";
         break;
      case Status::skip:
         out << "<skipped message=\"" << detail << "\"/>";
         break;
      case Status::warn:
      case Status::pass:
         out << "<system-out>" << statusWord(r.result.status) << ": " << detail << "</system-out>";
         break;
      }
      out << "</testcase>\n";
   }
   out << "  </testsuite>\n</testsuites>\n";
   if (!out.flush()) {
      throw ToolError(ExitCode::file, "cannot write the JUnit report '" + path + "'",
                      "check that the disk is not full");
   }
}

double scaleFromEnvironment() {
   const char* text = std::getenv("PLUGHOST_VALIDATE_SCALE");
   if (!text || !*text) return 1.0;
   char* end = nullptr;
   const double v = std::strtod(text, &end);
   if (*end != '\0' || !(v > 0) || v > 1000) {
      throw ToolError(ExitCode::usage,
                      std::string("PLUGHOST_VALIDATE_SCALE='") + text + "' is not a scale",
                      "set it to a positive number such as 0.1, or unset it");
   }
   return v;
}

} // namespace

int runValidate(const ValidateOptions& givenOptions) {
   ValidateOptions options = givenOptions;
   const Level level = parseLevel(options.level);
   if (options.scale <= 0) options.scale = scaleFromEnvironment();
   if (options.listChecks) {
      listChecks(options.json);
      return 0;
   }
   if (options.pluginPath.empty()) {
      throw ToolError(ExitCode::usage, "validate needs a plug-in",
                      "run: plughost validate PLUGIN.so (see --help)");
   }
   const std::regex only =
       compilePattern(options.checkPattern.empty() ? "." : options.checkPattern, "--check");
   const std::regex skip =
       compilePattern(options.skipPattern.empty() ? "$^" : options.skipPattern, "--skip");
   std::vector<const Check*> selected;
   for (const Check& c : allChecks()) {
      if (std::regex_search(c.name, only)) selected.push_back(&c);
   }
   if (selected.empty()) {
      throw ToolError(ExitCode::usage, "no check matches '" + options.checkPattern + "'",
                      "see the names with: plughost validate --list-checks");
   }
   requireLoadable(options);

   CheckContext context;
   context.pluginPath = options.pluginPath;
   context.seed = options.seed;
   context.scale = options.scale;
   context.level = level;

   const bool progress = !options.json && ::isatty(STDERR_FILENO);
   int counts[4] = {0, 0, 0, 0};
   std::vector<Reported> reported;
   JsonWriter json;
   json.beginObject().key("plugin").value(options.pluginPath).key("level").value(levelName(level));
   json.key("seed").value(static_cast<int64_t>(options.seed)).key("scale").value(options.scale);
   json.key("checks").beginArray();
   if (!options.json) {
      std::printf("validating %s at level %s (seed %llu)\n", options.pluginPath.c_str(),
                  levelName(level), static_cast<unsigned long long>(options.seed));
   }
   for (const Check* check : selected) {
      CheckResult result;
      double seconds = 0;
      if (check->level > level) {
         result = {Status::skip, std::string("runs at --level ") + levelName(check->level)};
      } else if (std::regex_search(check->name, skip)) {
         result = {Status::skip, "skipped by --skip"};
      } else {
         if (progress) std::fprintf(stderr, "running %s ...", check->name);
         const ChildResult outcome = runCheckChild(options.timeoutSeconds, [&]() -> std::string {
            const CheckResult r = check->run(context);
            const char letter = r.status == Status::pass   ? kPass
                                : r.status == Status::skip ? kSkip
                                : r.status == Status::warn ? kWarn
                                                           : kFail;
            return std::string(1, letter) + r.detail;
         });
         if (progress) std::fprintf(stderr, "\r\033[K");
         result = judge(outcome, options.timeoutSeconds);
         seconds = outcome.seconds;
      }
      ++counts[static_cast<int>(result.status)];
      reported.push_back({check, result, seconds});
      if (options.json) {
         json.beginObject()
             .key("name")
             .value(check->name)
             .key("level")
             .value(levelName(check->level))
             .key("status")
             .value(statusWord(result.status));
         json.key("detail").value(result.detail).key("seconds").value(seconds).endObject();
      } else {
         std::printf("%s %s: %s\n", statusWord(result.status), check->name, result.detail.c_str());
         std::fflush(stdout);
      }
   }
   json.endArray();
   const int passed = counts[int(Status::pass)];
   const int failed = counts[int(Status::fail)];
   const int skipped = counts[int(Status::skip)];
   const int warned = counts[int(Status::warn)];
   if (!options.junitPath.empty()) {
      writeJunit(options.junitPath, options.pluginPath, level, reported, failed, skipped);
   }
   if (options.json) {
      json.key("passed").value(passed).key("warned").value(warned).key("failed").value(failed);
      json.key("skipped").value(skipped).endObject();
      std::printf("%s\n", json.text().c_str());
   } else {
      // Checks that passed with warnings count as passed here.
      std::printf("%d passed, %d failed, %d skipped (%d of the passed with warnings)\n",
                  passed + warned, failed, skipped, warned);
   }
   return failed > 0 ? static_cast<int>(ExitCode::validationFailed) : 0;
}

CLI::App* addValidateCommand(CLI::App& app, ValidateOptions& options) {
   CLI::App* cmd = app.add_subcommand(
       "validate", "run the conformance checks, each in a child process; exit 1 if any fails");
   cmd->add_option("plugin", options.pluginPath, "the plug-in library (.so)")->type_name("PLUGIN");
   cmd->add_flag("--list-checks", options.listChecks, "list the checks and exit");
   cmd->add_option("--check", options.checkPattern, "run only the checks whose names match")
       ->type_name("REGEX");
   cmd->add_option("--skip", options.skipPattern, "skip the checks whose names match")
       ->type_name("REGEX");
   cmd->add_option("--seed", options.seed, "seed of the pseudo-random test data")
       ->type_name("N")
       ->capture_default_str();
   cmd->add_option("--timeout", options.timeoutSeconds, "seconds each check may take")
       ->type_name("S")
       ->check(CLI::PositiveNumber.description(""))
       ->capture_default_str();
   cmd->add_option("--scale", options.scale,
                   "multiply iteration counts (default $PLUGHOST_VALIDATE_SCALE, else 1)")
       ->type_name("F")
       ->check(CLI::PositiveNumber.description(""));
   cmd->add_option("--level", options.level,
                   "host (default): what hosts rely on; strict: also what the interface defines; "
                   "hostile: also calls no host makes")
       ->type_name("LEVEL");
   cmd->add_flag("--json", options.json, "print the results as one JSON object");
   cmd->add_option("--junit", options.junitPath, "also write a JUnit XML report to FILE")
       ->type_name("FILE");
   return cmd;
}

} // namespace plughost::validate
