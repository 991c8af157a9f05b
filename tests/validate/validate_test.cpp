// SPDX-License-Identifier: MIT
// `plughost validate` as a user runs it: the built binary on the built plug-in, which must pass,
// and on deliberately faulty plug-ins, each of which must fail exactly the checks that look at
// its fault.
#include "tests/sanitizers.h"
#include "tests/support/run_plughost.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kUsage = trimwise::testing::kExitUsage;
constexpr int kNotLoadable = trimwise::testing::kExitPlugin;

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
   const auto ran = trimwise::testing::runPlughost(args);
   Outcome run;
   run.exitCode = ran.code;
   run.out = ran.out;
   run.err = ran.err;
   std::istringstream lines(run.out);
   for (std::string line; std::getline(lines, line);) {
      run.lines.push_back(line);
      for (const char* word : {"PASS ", "FAIL ", "SKIP ", "WARN "}) {
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

// Trimwise passes every level; the only checks not run are those above the level, the heap
// counting a sanitizer takes away, and programs it does not have.
TEST(ValidateTrimwise, PassesEveryLevel) {
   const auto names = checkNames();
   ASSERT_FALSE(names.empty());
   for (const char* level : {"host", "strict", "hostile"}) {
      const Outcome run = plughost({"validate", TRIMWISE_PLUGIN_PATH, "--level", level});
      ASSERT_EQ(run.exitCode, 0) << level << "\n" << describe(run);
      EXPECT_TRUE(run.failed().empty()) << level;
      for (const auto& name : names) {
         ASSERT_TRUE(run.status.count(name)) << name << " has no result line\n" << describe(run);
         if (run.status.at(name) != "SKIP") continue;
         const std::string& why = run.detail.at(name);
         const bool expected = why.rfind("runs at --level", 0) == 0 || name == "state.programs" ||
                               (kSanitizedHeap && name == "realtime.allocations");
         EXPECT_TRUE(expected) << level << " " << name << ": " << why;
         if (std::string(level) == "hostile") {
            EXPECT_EQ(why.rfind("runs at --level", 0), std::string::npos) << name;
         }
      }
   }
}

// --- Faulty plug-ins

struct FaultCase {
   const char* name;
   const char* path;
   const char* level;              // the lowest level that catches the fault
   std::set<std::string> mustFail; // exactly these checks fail there, all others pass
   std::vector<std::string> options;
   bool needsHeapCounting = false;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
   *os << c.name;
}

class FaultyPlugin : public testing::TestWithParam<FaultCase> {};

// Each fault is caught at its level and not below it, by exactly the checks that look at it.
TEST_P(FaultyPlugin, FailsExactlyTheChecksThatLookAtItsFaultAtItsLevel) {
   const FaultCase& c = GetParam();
   if (c.needsHeapCounting && kSanitizedHeap) {
      GTEST_SKIP() << "a sanitizer owns malloc in this build, so allocations are not counted";
   }
   std::vector<std::string> args = {"validate", c.path, "--level", c.level};
   args.insert(args.end(), c.options.begin(), c.options.end());
   const Outcome run = plughost(args);
   EXPECT_EQ(run.exitCode, 1) << describe(run);
   EXPECT_EQ(run.failed(), c.mustFail) << describe(run);
   for (const auto& name : c.mustFail) {
      EXPECT_TRUE(run.detail.count(name) && !run.detail.at(name).empty())
          << name << " fails without saying why";
   }
   const std::string below = std::string(c.level) == "hostile" ? "strict" : "host";
   if (std::string(c.level) != "host") {
      args[3] = below;
      const Outcome lower = plughost(args);
      EXPECT_EQ(lower.exitCode, 0) << below << "\n" << describe(lower);
   }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultyPlugin,
    testing::Values(
        FaultCase{"text_overrun",
                  FAULTY_TEXT_OVERRUN_PATH,
                  "strict",
                  {"texts.bounds", "concurrency.automation"},
                  {"--check", "^(texts|concurrency)\\."}},
        FaultCase{"leak",
                  FAULTY_LEAK_PATH,
                  "strict",
                  {"lifecycle.cycles"},
                  {"--check", "^lifecycle\\.cycles$"}},
        FaultCase{"alloc_in_process",
                  FAULTY_ALLOC_IN_PROCESS_PATH,
                  "strict",
                  {"realtime.allocations"},
                  {"--check", "^realtime\\."},
                  true},
        FaultCase{"in_place", FAULTY_IN_PLACE_PATH, "host", {"process.in-place"}, {}},
        FaultCase{
            "exports", FAULTY_EXPORTS_PATH, "strict", {"load.exports"}, {"--check", "^load\\."}},
        FaultCase{"null_crash",
                  FAULTY_NULL_CRASH_PATH,
                  "hostile",
                  {"texts.null-buffer", "commands.known"},
                  {"--check", "^(texts|commands)\\."}},
        FaultCase{
            "fpu", FAULTY_FPU_PATH, "strict", {"host-state.fpu"}, {"--check", "^host-state\\."}},
        FaultCase{"hang",
                  FAULTY_HANG_PATH,
                  "host",
                  {"lifecycle.cycles"},
                  {"--check", "^lifecycle\\.cycles$", "--timeout", "2"}},
        FaultCase{"nan_on_silence", FAULTY_NAN_ON_SILENCE_PATH, "host", {"process.signals"}, {}},
        FaultCase{"state_loss", FAULTY_STATE_LOSS_PATH, "host", {"state.save-restore"}, {}}),
    [](const testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

// A crash names the call it happened in and the signal (or, under AddressSanitizer, which
// reports the fault itself and exits, the sanitizer).
TEST(ValidateReports, ACrashWithTheCallInFlightAndTheSignal) {
   const Outcome run = plughost({"validate", FAULTY_NULL_CRASH_PATH, "--level", "hostile",
                                 "--check", "^texts\\.null-buffer$"});
   ASSERT_EQ(run.statusOf("texts.null-buffer"), "FAIL") << describe(run);
   const std::string detail = run.detailOf("texts.null-buffer");
   EXPECT_TRUE(detail.find("SIGSEGV") != std::string::npos ||
               (kSanitizedHeap && detail.find("sanitizer") != std::string::npos))
       << detail;
   EXPECT_NE(detail.find("in effGetParamName(index 0, value 0"), std::string::npos) << detail;
}

TEST(ValidateReports, JunitOneTestCasePerCheck) {
   char path[] = "/tmp/plughost-junit-XXXXXX";
   const int fd = mkstemp(path);
   ASSERT_GE(fd, 0);
   close(fd);
   const Outcome run = plughost({"validate", FAULTY_NAN_ON_SILENCE_PATH, "--check",
                                 "^process\\.(signals|determinism)$", "--junit", path});
   EXPECT_EQ(run.exitCode, 1) << describe(run);
   std::ifstream in(path);
   std::stringstream xml;
   xml << in.rdbuf();
   std::remove(path);
   const std::string text = xml.str();
   EXPECT_NE(text.find(R"(tests="2" failures="1" errors="0" skipped="0")"), std::string::npos)
       << text;
   EXPECT_NE(text.find(R"(<testcase classname="validate" name="process.signals")"),
             std::string::npos)
       << text;
   EXPECT_NE(text.find("<failure message=\"silence (+0): frame 0: output channel 0 frame 0 is "),
             std::string::npos)
       << text;
}

TEST(ValidateReports, AHangAsATimeout) {
   const Outcome run = plughost(
       {"validate", FAULTY_HANG_PATH, "--check", "^lifecycle\\.cycles$", "--timeout", "1"});
   const std::string detail = run.detailOf("lifecycle.cycles");
   EXPECT_NE(detail.find("did not finish within 1 s"), std::string::npos) << describe(run);
   EXPECT_NE(detail.find("it was in effMainsChanged(index 0, value 1"), std::string::npos)
       << detail;
}

TEST(ValidateReports, JsonBesideTheLines) {
   const Outcome run =
       plughost({"validate", FAULTY_TEXT_OVERRUN_PATH, "--check", "^texts\\.", "--json"});
   EXPECT_EQ(run.exitCode, 0);
   ASSERT_EQ(run.lines.size(), 1u) << run.out;
   const std::string& json = run.lines[0];
   EXPECT_EQ(json.front(), '{');
   EXPECT_NE(json.find(R"({"name":"texts.bounds","level":"host","status":"PASS")"),
             std::string::npos)
       << json;
   EXPECT_NE(json.find(R"({"name":"texts.null-buffer","level":"hostile","status":"SKIP")"),
             std::string::npos)
       << json;
   EXPECT_NE(json.find(R"("passed":1,"warned":0,"failed":0,"skipped":1})"), std::string::npos)
       << json;
}

TEST(ValidateReports, WhatTheOverrunWrote) {
   const Outcome run = plughost(
       {"validate", FAULTY_TEXT_OVERRUN_PATH, "--level", "strict", "--check", "^texts\\.bounds$"});
   EXPECT_NE(run.detailOf("texts.bounds").find("wrote 17 bytes into a buffer of 9"),
             std::string::npos)
       << describe(run);
}

// --- Choosing checks

TEST(ValidateSelection, CheckAndSkipPatterns) {
   const Outcome only = plughost({"validate", TRIMWISE_PLUGIN_PATH, "--check", "^load\\."});
   EXPECT_EQ(only.exitCode, 0) << describe(only);
   ASSERT_EQ(only.status.size(), 5u) << describe(only);
   for (const auto& [name, s] : only.status)
      EXPECT_EQ(name.rfind("load.", 0), 0u) << name;

   const Outcome skipped = plughost({"validate", FAULTY_EXPORTS_PATH, "--level", "strict",
                                     "--check", "^load\\.", "--skip", "exports"});
   EXPECT_EQ(skipped.exitCode, 0) << describe(skipped);
   EXPECT_EQ(skipped.statusOf("load.exports"), "SKIP");
   EXPECT_EQ(skipped.lines.back(), "2 passed, 0 failed, 3 skipped (0 of the passed with warnings)");
}

TEST(ValidateSelection, ListsEveryCheckOnce) {
   const auto names = checkNames();
   const std::set<std::string> unique(names.begin(), names.end());
   EXPECT_EQ(unique.size(), names.size());
   for (const char* expected : {"load.exports",
                                "load.entry-time",
                                "load.null-callback",
                                "load.refused-version",
                                "load.record",
                                "lifecycle.cycles",
                                "lifecycle.instances",
                                "lifecycle.threads",
                                "lifecycle.out-of-order",
                                "process.signals",
                                "process.sample-rates",
                                "process.block-sizes",
                                "process.rate-change",
                                "process.determinism",
                                "process.in-place",
                                "process.denormals",
                                "state.save-restore",
                                "state.programs",
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
   EXPECT_EQ(json.out.rfind(R"([{"name":"load.exports","level":"host","severity":"fail/warn")", 0),
             0u)
       << json.out;
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
        CommandLineCase{
            "unknown_level", {"validate", TRIMWISE_PLUGIN_PATH, "--level", "paranoid"}, kUsage},
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
