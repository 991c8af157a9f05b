// SPDX-License-Identifier: MIT
#include "tools/plughost/validate_command.h"

#include "tools/hostlib/job_pool.h"
#include "tools/hostlib/json.h"
#include "tools/hostlib/plugin_search.h"
#include "tools/hostlib/progress_line.h"
#include "tools/hostlib/tool_error.h"
#include "tools/plughost/common.h"
#include "tools/plughost/text_table.h"
#include "tools/validate/check.h"
#include "tools/validate/memcheck.h"
#include "tools/validate/validation.h"

#include <CLI/CLI.hpp>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

namespace plughost::validate {
namespace {

// The version of the JSON record written per plug-in; raised when a field changes meaning.
constexpr int kSchemaVersion = 1;

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
      Json all = Json::array();
      for (const Check& c : allChecks()) {
         all.push_back({{"name", c.name},
                        {"level", levelName(c.level)},
                        {"severity", severityWord(c.severity)},
                        {"summary", c.summary}});
      }
      std::printf("%s\n", jsonLine(all).c_str());
      return;
   }
   for (const Check& c : allChecks())
      std::printf("%-28s %-7s %-9s %s\n", c.name, levelName(c.level), severityWord(c.severity),
                  c.summary);
}

Status statusOf(const std::string& word) {
   for (Status s : {Status::pass, Status::fail, Status::skip, Status::warn}) {
      if (word == statusWord(s)) return s;
   }
   return Status::fail;
}

// "pass", "fail", or why the plug-in has no verdict of its checks.
std::string resultOf(const PluginReport& r) {
   if (!r.loadable) return "not loadable";
   return r.failed() ? "fail" : "pass";
}

} // namespace

Json recordOf(const PluginReport& r, const ValidationSettings& settings) {
   Json j = {{"schema", kSchemaVersion},
             {"plugin", jsonText(r.plugin)},
             {"result", resultOf(r)},
             {"level", levelName(settings.level)},
             {"seed", static_cast<int64_t>(settings.seed)},
             {"scale", jsonNumber(settings.scale)},
             {"seconds", jsonNumber(r.seconds)}};
   if (!r.loadable) {
      j["problem"] = jsonText(r.problem);
      j["hint"] = jsonText(r.hint);
   }
   Json checks = Json::array();
   for (const auto& c : r.checks) {
      checks.push_back({{"name", c.name},
                        {"level", levelName(c.level)},
                        {"status", statusWord(c.result.status)},
                        {"detail", jsonText(c.result.detail)},
                        {"seconds", jsonNumber(c.seconds)}});
   }
   j["checks"] = std::move(checks);
   j["passed"] = r.count(Status::pass);
   j["warned"] = r.count(Status::warn);
   j["failed"] = r.count(Status::fail);
   j["skipped"] = r.count(Status::skip);
   return j;
}

namespace {

PluginReport reportOf(const Json& j) {
   PluginReport r;
   r.plugin = j.at("plugin").get<std::string>();
   r.loadable = j.at("result") != "not loadable";
   r.problem = j.value("problem", "");
   r.hint = j.value("hint", "");
   r.seconds = j.at("seconds").get<double>();
   for (const auto& c : j.at("checks")) {
      r.checks.push_back(
          {c.at("name").get<std::string>(),
           parseLevel(c.at("level").get<std::string>()),
           {statusOf(c.at("status").get<std::string>()), c.at("detail").get<std::string>()},
           c.at("seconds").get<double>()});
   }
   return r;
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

// One test suite per plug-in, one test case per check: a failure, a skip with its reason, or a
// pass whose warnings go to system-out. A plug-in that could not be loaded is one error.
void writeJunit(const std::string& path, Level level, const std::vector<PluginReport>& reports) {
   std::ofstream out(path);
   if (!out) {
      throw ToolError(ExitCode::file, "cannot write the JUnit report '" + path + "'",
                      "check that its folder exists and is writable");
   }
   out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
   out << "<testsuites>\n";
   for (const PluginReport& r : reports) {
      out << "  <testsuite name=\"plughost validate " << xmlEscape(r.plugin) << " (level "
          << levelName(level) << ")\" tests=\"" << (r.loadable ? r.checks.size() : 1)
          << "\" failures=\"" << r.count(Status::fail) << "\" errors=\"" << (r.loadable ? 0 : 1)
          << "\" skipped=\"" << r.count(Status::skip) << "\" time=\"" << r.seconds << "\">\n";
      if (!r.loadable) {
         out << "    <testcase classname=\"validate\" name=\"load\" time=\"" << r.seconds
             << "\"><error message=\"" << xmlEscape(r.problem) << "\"/></testcase>\n";
      }
      for (const auto& c : r.checks) {
         out << "    <testcase classname=\"validate\" name=\"" << xmlEscape(c.name) << "\" time=\""
             << c.seconds << "\">";
         const std::string detail = xmlEscape(c.result.detail);
         switch (c.result.status) {
         case Status::fail:
            out << "<failure message=\"" << detail << "\"/>";
            break;
         case Status::skip:
            out << "<skipped message=\"" << detail << "\"/>";
            break;
         case Status::warn:
         case Status::pass:
            out << "<system-out>" << statusWord(c.result.status) << ": " << detail
                << "</system-out>";
            break;
         }
         out << "</testcase>\n";
      }
      out << "  </testsuite>\n";
   }
   out << "</testsuites>\n";
   if (!out.flush()) {
      throw ToolError(ExitCode::file, "cannot write the JUnit report '" + path + "'",
                      "check that the disk is not full");
   }
}

// One plug-in: a line per check as it ends, then the count.
int runOne(const std::string& plugin, const ValidationSettings& settings,
           const Selection& selection, const ValidateOptions& options) {
   const bool progress = !options.json && ::isatty(STDERR_FILENO);
   requireLoadable(plugin, settings.timeoutSeconds);
   if (!options.json) {
      std::printf("validating %s at level %s (seed %llu)\n", plugin.c_str(),
                  levelName(settings.level), static_cast<unsigned long long>(settings.seed));
   }
   const PluginReport report = validatePlugin(
       plugin, settings, selection,
       [&](const Check& c) {
          if (progress) std::fprintf(stderr, "running %s ...", c.name);
       },
       [&](const CheckOutcome& c) {
          if (progress) std::fprintf(stderr, "\r\033[K");
          if (options.json) return;
          std::printf("%s %s: %s\n", statusWord(c.result.status), c.name.c_str(),
                      c.result.detail.c_str());
          std::fflush(stdout);
       });
   if (!options.junitPath.empty()) writeJunit(options.junitPath, settings.level, {report});
   if (options.json) {
      std::printf("%s\n", jsonLine(recordOf(report, settings)).c_str());
   } else {
      // Checks that passed with warnings count as passed here.
      const int warned = report.count(Status::warn);
      std::printf("%d passed, %d failed, %d skipped (%d of the passed with warnings)\n",
                  report.count(Status::pass) + warned, report.count(Status::fail),
                  report.count(Status::skip), warned);
   }
   return report.failed() ? static_cast<int>(ExitCode::validationFailed) : 0;
}

std::string failedChecks(const PluginReport& r) {
   std::string names;
   for (const auto& c : r.checks) {
      if (c.result.status == Status::fail) names += (names.empty() ? "" : " ") + c.name;
   }
   return names;
}

// A collection: several plug-ins at once, each in a worker of its own with a time limit; a
// progress line on a terminal, then a summary table (or one JSON record per plug-in).
int runMany(const std::vector<std::string>& plugins, const ValidationSettings& settings,
            const Selection& selection, const ValidateOptions& options) {
   const auto work = [&](const std::string& plugin, JobContext&) {
      PluginReport report;
      try {
         requireLoadable(plugin, settings.timeoutSeconds);
         report = validatePlugin(plugin, settings, selection);
      } catch (const ToolError& e) {
         report.plugin = plugin;
         report.loadable = false;
         report.problem = e.what();
         report.hint = e.hint();
      }
      return jsonLine(recordOf(report, settings));
   };
   JobPool::Options poolOptions;
   poolOptions.workers = options.jobs > 0 ? size_t(options.jobs) : 0;
   poolOptions.timeoutSeconds = options.pluginTimeoutSeconds;
   JobPool pool(work, poolOptions);

   std::vector<PluginReport> reports(plugins.size());
   size_t done = 0, failed = 0;
   ProgressLine progress(std::cerr, !options.json && ::isatty(STDERR_FILENO), STDERR_FILENO);
   const auto show = [&] {
      progress.show("validated " + std::to_string(done) + "/" + std::to_string(plugins.size()) +
                        " plug-ins, " + std::to_string(failed) + " failed",
                    true);
   };
   JobPool::Events events;
   events.done = [&](size_t index, const JobOutcome& outcome) {
      PluginReport& r = reports[index];
      if (outcome.ok()) {
         r = reportOf(Json::parse(outcome.answer));
      } else {
         // The worker itself died or ran out of time: the plug-in has no verdict of its checks.
         r.plugin = plugins[index];
         r.loadable = false;
         r.problem = "validating it " + outcome.problem(options.pluginTimeoutSeconds);
         r.hint = "validate it alone to see which check: plughost validate " + plugins[index];
         r.seconds = outcome.seconds;
      }
      ++done;
      failed += r.failed();
      show();
   };
   show();
   pool.run(plugins, events);
   progress.clear();

   if (!options.junitPath.empty()) writeJunit(options.junitPath, settings.level, reports);
   if (options.json) {
      for (const auto& r : reports)
         std::printf("%s\n", jsonLine(recordOf(r, settings)).c_str());
   } else {
      TextTable table({"plug-in", "result", "failed checks", "time"}, "llll");
      for (const auto& r : reports) {
         char seconds[32];
         std::snprintf(seconds, sizeof seconds, "%.1f s", r.seconds);
         table.add({r.plugin, resultOf(r), r.loadable ? failedChecks(r) : r.problem, seconds});
      }
      std::printf("%s", table.text().c_str());
      size_t notLoadable = 0;
      for (const auto& r : reports)
         notLoadable += !r.loadable;
      std::printf("%zu plug-ins at level %s: %zu passed, %zu failed, %zu could not be "
                  "validated\n",
                  reports.size(), levelName(settings.level), reports.size() - failed,
                  failed - notLoadable, notLoadable);
   }
   return failed > 0 ? static_cast<int>(ExitCode::validationFailed) : 0;
}

// Under memcheck everything runs some 20 to 50 times slower: iteration counts shrink by this
// much, and each check's time limit grows by the other.
constexpr double kMemcheckScale = 0.05;
constexpr double kMemcheckSlowdown = 20.0;

std::string findExecutable(const std::string& name) {
   const char* path = std::getenv("PATH");
   std::stringstream folders(path ? path : "/usr/bin:/bin");
   for (std::string folder; std::getline(folders, folder, ':');) {
      const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
   }
   return {};
}

// The same validation again, under valgrind's memcheck: every child writes an XML report of its
// own into a temporary folder, from which the runner inside reads what each check's child did.
int runUnderMemcheck(const ValidateOptions& options, const ValidationSettings& settings) {
   const std::string valgrind = findExecutable("valgrind");
   if (valgrind.empty()) {
      throw ToolError(ExitCode::usage, "--memcheck needs valgrind, which is not installed",
                      "install Debian's package: sudo apt-get install valgrind");
   }
   char folderTemplate[] = "/tmp/plughost-memcheck-XXXXXX";
   if (!::mkdtemp(folderTemplate)) {
      throw ToolError(ExitCode::file, "cannot create a folder for valgrind's reports",
                      "check that /tmp is writable");
   }
   const std::string folder = folderTemplate;
   const std::string suppressions = folder + "/memcheck.supp";
   std::ofstream(suppressions) << kMemcheckSuppressions;
   char self[PATH_MAX];
   if (!::realpath("/proc/self/exe", self)) {
      throw ToolError(ExitCode::internal, "cannot find plughost's own executable",
                      "run plughost by its path");
   }
   const auto number = [](double v) {
      char text[32];
      std::snprintf(text, sizeof text, "%.17g", v);
      return std::string(text);
   };
   // Valgrind runs one thread at a time; without fair scheduling a thread that spins waiting
   // for another can keep the lock for minutes.
   std::vector<std::string> args = {valgrind,
                                    "--tool=memcheck",
                                    "-q",
                                    "--xml=yes",
                                    "--xml-file=" + folder + "/vg.%p.xml",
                                    "--suppressions=" + suppressions,
                                    "--num-callers=20",
                                    "--error-limit=no",
                                    "--fair-sched=yes",
                                    self,
                                    "validate",
                                    "--level",
                                    levelName(settings.level),
                                    "--seed",
                                    std::to_string(settings.seed),
                                    "--scale",
                                    number(settings.scale * kMemcheckScale),
                                    "--timeout",
                                    number(settings.timeoutSeconds * kMemcheckSlowdown),
                                    "--plugin-timeout",
                                    number(options.pluginTimeoutSeconds * kMemcheckSlowdown)};
   if (!options.checkPattern.empty()) args.insert(args.end(), {"--check", options.checkPattern});
   if (!options.skipPattern.empty()) args.insert(args.end(), {"--skip", options.skipPattern});
   if (options.jobs > 0) args.insert(args.end(), {"--jobs", std::to_string(options.jobs)});
   if (options.json) args.push_back("--json");
   if (!options.junitPath.empty()) args.insert(args.end(), {"--junit", options.junitPath});
   if (options.all) args.push_back("--all");
   args.insert(args.end(), options.plugins.begin(), options.plugins.end());
   std::vector<char*> argv;
   for (auto& a : args)
      argv.push_back(a.data());
   argv.push_back(nullptr);
   std::fflush(nullptr);
   const pid_t pid = ::fork();
   if (pid == 0) {
      ::setenv(kMemcheckEnvironment, folder.c_str(), 1);
      ::execv(valgrind.c_str(), argv.data());
      std::fprintf(stderr, "plughost: error: cannot run %s: %s\n", valgrind.c_str(),
                   std::strerror(errno));
      ::_exit(static_cast<int>(ExitCode::internal));
   }
   int status = 0;
   while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
   }
   std::error_code ignored;
   std::filesystem::remove_all(folder, ignored);
   if (pid < 0 || !WIFEXITED(status)) {
      throw ToolError(ExitCode::internal, "valgrind ended without an exit status",
                      "run the same validation without --memcheck to see whether it completes");
   }
   return WEXITSTATUS(status);
}

} // namespace

int runValidate(const ValidateOptions& options) {
   ValidationSettings settings;
   settings.level = parseLevel(options.level);
   settings.seed = options.seed;
   settings.scale = options.scale > 0 ? options.scale : scaleFromEnvironment();
   settings.timeoutSeconds = options.timeoutSeconds;
   if (options.listChecks) {
      listChecks(options.json);
      return 0;
   }
   if (options.plugins.empty() && !options.all) {
      throw ToolError(
          ExitCode::usage, "validate needs a plug-in",
          "run: plughost validate PLUGIN.so, or --all for the search path (see --help)");
   }
   const Selection selection = selectChecks(options.checkPattern, options.skipPattern);
   if (options.memcheck && memcheckFolder().empty()) return runUnderMemcheck(options, settings);
   if (options.plugins.size() == 1 && !options.all) {
      return runOne(findPlugin(options.plugins.front()), settings, selection, options);
   }
   return runMany(collectionPlugins(options.plugins, options.all), settings, selection, options);
}

CLI::App* addValidateCommand(CLI::App& app, ValidateOptions& options) {
   CLI::App* cmd = app.add_subcommand(
       "validate", "run the conformance checks, each in a child process; exit 1 if any fails");
   cmd->add_option("plugin", options.plugins,
                   "the plug-in libraries (paths or names); several are validated at once")
       ->type_name("PLUGIN...");
   cmd->add_flag("--all", options.all, "validate every plug-in on the search path");
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
   cmd->add_option("--plugin-timeout", options.pluginTimeoutSeconds,
                   "seconds each plug-in of several may take")
       ->type_name("S")
       ->check(CLI::PositiveNumber.description(""))
       ->capture_default_str();
   cmd->add_option("-j,--jobs", options.jobs, "plug-ins validated at once (default: one per core)")
       ->type_name("N")
       ->check(CLI::NonNegativeNumber.description(""));
   cmd->add_option("--scale", options.scale,
                   "multiply iteration counts (default $PLUGHOST_VALIDATE_SCALE, else 1)")
       ->type_name("F")
       ->check(CLI::PositiveNumber.description(""));
   cmd->add_option("--level", options.level,
                   "host (default): what hosts rely on; strict: also what the interface defines; "
                   "hostile: also calls no host makes")
       ->type_name("LEVEL");
   cmd->add_flag("--memcheck", options.memcheck,
                 "run under valgrind's memcheck: the plug-in's memory errors fail the check they "
                 "happen in");
   cmd->add_flag("--json", options.json, "print one JSON record per plug-in");
   cmd->add_option("--junit", options.junitPath,
                   "also write a JUnit XML report to FILE (a test suite per plug-in)")
       ->type_name("FILE");
   return cmd;
}

} // namespace plughost::validate
