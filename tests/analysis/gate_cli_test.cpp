// SPDX-License-Identifier: MIT
// `plughost analyze` as CI runs it: --baseline against the plug-in itself and against a changed
// setting, and a collection where faulty plug-ins sit among good ones.
#include "tests/support/run_plughost.h"
#include "tools/hostlib/json.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using plughost::Json;
using trimwise::testing::runPlughost;

TEST(AnalyzeBaseline, PassesAgainstItselfAndNamesAChangedSetting) {
   const auto folder = std::filesystem::temp_directory_path() /
                       ("plughost-baseline-test-" + std::to_string(::getpid()));
   std::filesystem::create_directories(folder);
   const std::string baseline = (folder / "baseline.json").string();
   const auto first = runPlughost(
       {"analyze", TRIMWISE_PLUGIN_PATH, "--what", "linear", "--json", "-p", "Left Gain=-6 dB"});
   ASSERT_EQ(first.code, 0) << first.err;
   std::ofstream(baseline) << first.out;

   struct Case {
      std::vector<std::string> args;
      int code;
      std::vector<std::string> named; // texts among the regression lines
   };
   const Case cases[] = {
       {{"-p", "Left Gain=-6 dB"}, 0, {"no regression against the baseline"}},
       {{"-p", "Left Gain=-5 dB"},
        1,
        {"regression: settings.parameters[0] 'Left Gain' is",
         "regression: linear.magnitude_db[0] at", "moved +1 dB"}},
       {{"-p", "Left Gain=-5 dB", "--tolerance", "magnitude=1.5"},
        1,
        {"regression: settings.parameters[0]"}},
       {{"-p", "Left Gain=-6 dB", "--rate", "44100"},
        1,
        {"regression: settings.sample_rate is 44100 now, 48000 in the baseline",
         "regression: linear.frequency_hz: the grid differs"}},
       {{"-p", "Left Gain=-6 dB", "--tolerance", "loudness=1"}, 2, {"names no tolerance"}},
   };
   for (const Case& c : cases) {
      std::vector<std::string> args = {"analyze", TRIMWISE_PLUGIN_PATH, "--what",
                                       "linear",  "--baseline",         baseline};
      args.insert(args.end(), c.args.begin(), c.args.end());
      const auto run = runPlughost(args);
      SCOPED_TRACE(args.back());
      EXPECT_EQ(run.code, c.code) << run.out << run.err;
      for (const auto& text : c.named)
         EXPECT_NE((run.out + run.err).find(text), std::string::npos) << text << "\n" << run.out;
      if (c.code == 1) {
         EXPECT_EQ(run.out.find("magnitude_db[1]"), std::string::npos); // the right side held
      }
   }
   std::filesystem::remove_all(folder);
}

// The faulty plug-ins only break 32-bit processing, so the collection runs in 32 bits: the NaN
// fails its measurement, the crash ends its plug-in's analysis with the signal and the call,
// and the good plug-ins after them are measured as if alone.
TEST(AnalyzeCollection, AFaultyPlugInEndsOnlyItsOwnAnalysis) {
   const auto run = runPlughost({"analyze", FAULTY_NAN_ON_SILENCE_PATH, TRIMWISE_PLUGIN_PATH,
                                 ANALYSIS_CRASH_IN_PROCESS_PATH, TRIMWISE_PLUGIN_PATH,
                                 "/nonexistent/plugin.so", "--what", "linear,time", "--precision",
                                 "32", "--json", "-j", "2", "--timeout", "20"});
   EXPECT_EQ(run.code, 1) << run.err;
   std::vector<Json> documents;
   std::istringstream lines(run.out);
   for (std::string line; std::getline(lines, line);)
      documents.push_back(Json::parse(line));
   ASSERT_EQ(documents.size(), 5u) << run.out;

   const Json& nan = documents[0];
   EXPECT_EQ(nan["plugin"]["path"], FAULTY_NAN_ON_SILENCE_PATH);
   const bool nanFailed = nan["linear"]["status"] == "failed" || nan["time"]["status"] == "failed";
   EXPECT_TRUE(nanFailed) << nan.dump();
   for (const char* section : {"linear", "time"}) {
      if (nan[section]["status"] == "failed") {
         EXPECT_NE(nan[section]["reason"].get<std::string>().find("NaN"), std::string::npos);
      }
   }

   const Json& crash = documents[2];
   EXPECT_EQ(crash["plugin"]["path"], ANALYSIS_CRASH_IN_PROCESS_PATH);
   EXPECT_EQ(crash["linear"]["status"], "crashed") << crash.dump();
   const std::string reason = crash["linear"]["reason"].get<std::string>();
   EXPECT_NE(reason.find("SIGSEGV"), std::string::npos) << reason;
   EXPECT_NE(reason.find("processReplacing"), std::string::npos) << reason;
   EXPECT_EQ(crash["time"]["status"], "not_run");

   for (const size_t good : {1u, 3u}) {
      SCOPED_TRACE(good);
      EXPECT_EQ(documents[good]["plugin"]["path"], TRIMWISE_PLUGIN_PATH);
      EXPECT_EQ(documents[good]["linear"]["status"], "ok");
      EXPECT_EQ(documents[good]["time"]["status"], "ok");
      EXPECT_EQ(documents[good]["latency"]["measured"], 0);
   }
   EXPECT_EQ(documents[4]["status"], "not_loadable") << documents[4].dump();
}

} // namespace
