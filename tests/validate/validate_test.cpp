// `plughost validate` as a user runs it: the built binary on the built plug-in, which must pass,
// and on deliberately faulty plug-ins, each of which must fail exactly the checks that look at
// its fault.
#include "tests/sanitizers.h"
#include "tools/hostlib/tool_error.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr int kUsage = static_cast<int>(plughost::ExitCode::usage);
constexpr int kNotLoadable = static_cast<int>(plughost::ExitCode::plugin);

constexpr bool kSanitizedHeap = kSanitizedAllocator;

struct Outcome {
   int exitCode = -1;
   std::string out, err;
   std::map<std::string, std::string> status; // check name -> PASS, FAIL or SKIP
   std::map<std::string, std::string> detail;
   std::vector<std::string> lines;

   std::string statusOf(const std::string& name) const {
      return status.count(name) ? status.at(name) : "";
   }
   std::string detailOf(const std::string& name) const {
      return detail.count(name) ? detail.at(name) : "";
   }

   std::set<std::string> failed() const {
      std::set<std::string> names;
      for (const auto& [name, s] : status) {
         if (s == "FAIL") names.insert(name);
      }
      return names;
   }
};

// Runs plughost with `args`, collecting both output streams and the exit code.
Outcome plughost(const std::vector<std::string>& args) {
   std::vector<std::string> all = {PLUGHOST_PATH};
   all.insert(all.end(), args.begin(), args.end());
   std::vector<char*> argv;
   for (auto& a : all)
      argv.push_back(a.data());
   argv.push_back(nullptr);
   int out[2], err[2];
   EXPECT_EQ(pipe(out), 0);
   EXPECT_EQ(pipe(err), 0);
   posix_spawn_file_actions_t actions;
   posix_spawn_file_actions_init(&actions);
   posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
   posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
   posix_spawn_file_actions_addclose(&actions, out[0]);
   posix_spawn_file_actions_addclose(&actions, err[0]);
   pid_t pid = 0;
   const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
   posix_spawn_file_actions_destroy(&actions);
   close(out[1]);
   close(err[1]);
   Outcome run;
   if (spawned != 0) {
      ADD_FAILURE() << "cannot start " << PLUGHOST_PATH;
      return run;
   }
   pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
   std::string* sinks[2] = {&run.out, &run.err};
   int open = 2;
   while (open > 0) {
      if (poll(fds, 2, -1) < 0) break;
      for (int i = 0; i < 2; ++i) {
         if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
         char chunk[4096];
         const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
         if (n > 0) {
            sinks[i]->append(chunk, size_t(n));
         } else {
            close(fds[i].fd);
            fds[i].fd = -1;
            --open;
         }
      }
   }
   int status = 0;
   waitpid(pid, &status, 0);
   run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
   std::istringstream lines(run.out);
   for (std::string line; std::getline(lines, line);) {
      run.lines.push_back(line);
      for (const char* word : {"PASS ", "FAIL ", "SKIP "}) {
         if (line.rfind(word, 0) != 0) continue;
         const size_t colon = line.find(": ");
         const std::string name = line.substr(5, colon - 5);
         run.status[name] = std::string(word, 4);
         run.detail[name] = colon == std::string::npos ? "" : line.substr(colon + 2);
      }
   }
   return run;
}

std::vector<std::string> checkNames() {
   std::vector<std::string> names;
   const Outcome run = plughost({"validate", "--list-checks"});
   for (const auto& line : run.lines)
      names.push_back(line.substr(0, line.find(' ')));
   return names;
}

std::string describe(const Outcome& run) {
   return "exit " + std::to_string(run.exitCode) + "\n--- stdout\n" + run.out + "--- stderr\n" +
          run.err.substr(0, 4000);
}

// --- The real plug-in

TEST(ValidateTrimwise, PassesEveryCheck) {
   const Outcome run = plughost({"validate", TRIMWISE_PLUGIN_PATH});
   ASSERT_EQ(run.exitCode, 0) << describe(run);
   const auto names = checkNames();
   ASSERT_FALSE(names.empty());
   for (const auto& name : names) {
      ASSERT_TRUE(run.status.count(name)) << name << " has no result line\n" << describe(run);
      const bool mayBeSkipped = kSanitizedHeap && name == "realtime.allocations";
      EXPECT_EQ(run.status.at(name), mayBeSkipped ? "SKIP" : "PASS")
          << name << ": " << run.detail.at(name);
   }
   ASSERT_FALSE(run.lines.empty());
   const size_t skipped = kSanitizedHeap ? 1 : 0;
   EXPECT_EQ(run.lines.back(), std::to_string(names.size() - skipped) + " passed, 0 failed, " +
                                   std::to_string(skipped) + " skipped");
}

// --- Faulty plug-ins

struct FaultCase {
   const char* name;
   const char* path;
   std::set<std::string> mustFail; // exactly these checks fail, all others pass
   std::vector<std::string> options;
   bool needsHeapCounting = false;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
   *os << c.name;
}

class FaultyPlugin : public testing::TestWithParam<FaultCase> {};

TEST_P(FaultyPlugin, FailsExactlyTheChecksThatLookAtItsFault) {
   const FaultCase& c = GetParam();
   if (c.needsHeapCounting && kSanitizedHeap) {
      GTEST_SKIP() << "a sanitizer owns malloc in this build, so allocations are not counted";
   }
   // The host library's quick checks have tests of their own; leave them out here.
   std::vector<std::string> args = {"validate", c.path, "--skip", "^basics$"};
   args.insert(args.end(), c.options.begin(), c.options.end());
   const Outcome run = plughost(args);
   EXPECT_EQ(run.exitCode, 1) << describe(run);
   EXPECT_EQ(run.failed(), c.mustFail) << describe(run);
   for (const auto& name : c.mustFail) {
      EXPECT_TRUE(run.detail.count(name) && !run.detail.at(name).empty())
          << name << " fails without saying why";
   }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultyPlugin,
    testing::Values(
        FaultCase{"text_overrun",
                  FAULTY_TEXT_OVERRUN_PATH,
                  {"texts.bounds", "concurrency.automation", "commands.known"},
                  {},
                  false},
        FaultCase{"leak", FAULTY_LEAK_PATH, {"lifecycle.cycles"}, {}, false},
        FaultCase{
            "alloc_in_process", FAULTY_ALLOC_IN_PROCESS_PATH, {"realtime.allocations"}, {}, true},
        // Every check that compares processed samples with input x gain.
        FaultCase{"wrong_gain",
                  FAULTY_WRONG_GAIN_PATH,
                  {"lifecycle.instances", "lifecycle.threads", "process.out-of-place",
                   "process.in-place", "parameters.values", "parameters.bad-index",
                   "commands.known", "commands.unknown"},
                  {},
                  false},
        FaultCase{"in_place", FAULTY_IN_PLACE_PATH, {"process.in-place"}, {}, false},
        FaultCase{"exports", FAULTY_EXPORTS_PATH, {"load.exports"}, {}, false},
        FaultCase{"null_crash",
                  FAULTY_NULL_CRASH_PATH,
                  {"texts.null-buffer", "commands.known"},
                  {},
                  false},
        FaultCase{"fpu", FAULTY_FPU_PATH, {"host-state.fpu"}, {}, false},
        FaultCase{"hang",
                  FAULTY_HANG_PATH,
                  {"lifecycle.cycles"},
                  {"--check", "^lifecycle\\.cycles$", "--timeout", "2"},
                  false}),
    [](const testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

TEST(ValidateReports, ACrashWithTheSignalItDiedOf) {
   const Outcome run =
       plughost({"validate", FAULTY_NULL_CRASH_PATH, "--check", "^texts\\.null-buffer$"});
   ASSERT_EQ(run.statusOf("texts.null-buffer"), "FAIL") << describe(run);
   const std::string detail = run.detailOf("texts.null-buffer");
   // Under AddressSanitizer the child reports the fault itself and exits instead.
   EXPECT_TRUE(detail.find("SIGSEGV") != std::string::npos ||
               (kSanitizedHeap && detail.find("sanitizer") != std::string::npos))
       << detail;
}

TEST(ValidateReports, AHangAsATimeout) {
   const Outcome run = plughost(
       {"validate", FAULTY_HANG_PATH, "--check", "^lifecycle\\.cycles$", "--timeout", "1"});
   EXPECT_NE(run.detailOf("lifecycle.cycles").find("did not finish within 1 s"), std::string::npos)
       << describe(run);
}

TEST(ValidateReports, JsonBesideTheLines) {
   const Outcome run =
       plughost({"validate", FAULTY_TEXT_OVERRUN_PATH, "--check", "^texts\\.", "--json"});
   EXPECT_EQ(run.exitCode, 1);
   ASSERT_EQ(run.lines.size(), 1u) << run.out;
   const std::string& json = run.lines[0];
   EXPECT_EQ(json.front(), '{');
   EXPECT_NE(json.find(R"({"name":"texts.bounds","status":"FAIL","detail":"effGetParamLabel(0))"),
             std::string::npos)
       << json;
   EXPECT_NE(json.find(R"({"name":"texts.null-buffer","status":"PASS")"), std::string::npos)
       << json;
   EXPECT_NE(json.find(R"("passed":1,"failed":1,"skipped":0})"), std::string::npos) << json;
}

TEST(ValidateReports, WhatTheOverrunWrote) {
   const Outcome run =
       plughost({"validate", FAULTY_TEXT_OVERRUN_PATH, "--check", "^texts\\.bounds$"});
   EXPECT_NE(run.detailOf("texts.bounds").find("wrote 17 bytes into a buffer of 9"),
             std::string::npos)
       << describe(run);
}

// --- Choosing checks

TEST(ValidateSelection, CheckAndSkipPatterns) {
   const Outcome only = plughost({"validate", TRIMWISE_PLUGIN_PATH, "--check", "^load\\."});
   EXPECT_EQ(only.exitCode, 0) << describe(only);
   ASSERT_EQ(only.status.size(), 4u) << describe(only);
   for (const auto& [name, s] : only.status)
      EXPECT_EQ(name.rfind("load.", 0), 0u) << name;

   const Outcome skipped =
       plughost({"validate", FAULTY_EXPORTS_PATH, "--check", "^load\\.", "--skip", "exports"});
   EXPECT_EQ(skipped.exitCode, 0) << describe(skipped);
   EXPECT_EQ(skipped.statusOf("load.exports"), "SKIP");
   EXPECT_EQ(skipped.lines.back(), "3 passed, 0 failed, 1 skipped");
}

TEST(ValidateSelection, ListsEveryCheckOnce) {
   const auto names = checkNames();
   const std::set<std::string> unique(names.begin(), names.end());
   EXPECT_EQ(unique.size(), names.size());
   for (const char* expected : {"basics",
                                "load.exports",
                                "load.entry-time",
                                "load.null-callback",
                                "load.record",
                                "lifecycle.cycles",
                                "lifecycle.instances",
                                "lifecycle.threads",
                                "process.out-of-place",
                                "process.in-place",
                                "process.denormals",
                                "parameters.values",
                                "parameters.bad-index",
                                "texts.bounds",
                                "texts.null-buffer",
                                "concurrency.automation",
                                "realtime.allocations",
                                "host-state.fpu",
                                "host-state.locale",
                                "commands.known",
                                "commands.unknown"}) {
      EXPECT_TRUE(unique.count(expected)) << expected;
   }
   const Outcome json = plughost({"validate", "--list-checks", "--json"});
   EXPECT_EQ(json.exitCode, 0);
   EXPECT_EQ(json.out.rfind(R"([{"name":"basics","summary":)", 0), 0u) << json.out;
}

// --- Errors on the command line, by class

struct CommandLineCase {
   const char* name;
   std::vector<std::string> args;
   int exitCode;
};

void PrintTo(const CommandLineCase& c, std::ostream* os) {
   *os << c.name;
}

class ValidateCommandLine : public testing::TestWithParam<CommandLineCase> {};

TEST_P(ValidateCommandLine, ExitsWithItsClassAndSaysCauseAndHint) {
   const Outcome run = plughost(GetParam().args);
   EXPECT_EQ(run.exitCode, GetParam().exitCode) << describe(run);
   EXPECT_NE(run.err.find("error: "), std::string::npos) << run.err;
   EXPECT_NE(run.err.find("hint: "), std::string::npos) << run.err;
   EXPECT_EQ(run.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Errors, ValidateCommandLine,
    testing::Values(
        CommandLineCase{"no_plugin", {"validate"}, kUsage},
        CommandLineCase{"bad_pattern", {"validate", TRIMWISE_PLUGIN_PATH, "--check", "("}, kUsage},
        CommandLineCase{
            "nothing_matches", {"validate", TRIMWISE_PLUGIN_PATH, "--check", "nosuch"}, kUsage},
        CommandLineCase{
            "bad_timeout", {"validate", TRIMWISE_PLUGIN_PATH, "--timeout", "0"}, kUsage},
        CommandLineCase{"missing_file", {"validate", "/nonexistent/plugin.so"}, kNotLoadable},
        CommandLineCase{"not_a_library", {"validate", PLUGHOST_PATH}, kNotLoadable}),
    [](const testing::TestParamInfo<CommandLineCase>& info) {
       return std::string(info.param.name);
    });

} // namespace
