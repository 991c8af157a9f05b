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
// the hang runs out of time, and the good plug-ins after them are measured as if alone. The
// report is drawn by a stand-in for Python that keeps each document it is given, so that the
// index's links and entries can be checked.
TEST(AnalyzeCollection, AFaultyPlugInEndsOnlyItsOwnAnalysis) {
   const auto folder = std::filesystem::temp_directory_path() /
                       ("plughost-collection-test-" + std::to_string(::getpid()));
   std::filesystem::create_directories(folder);
   const auto python = folder / "python";
   std::ofstream(python)
       << "#!/bin/sh\n# -m plughost.report OUT: keep the document as OUT (--check: yes)\n"
          "[ \"$3\" = --check ] && exit 0\ncat >\"$3\"\n";
   std::filesystem::permissions(python, std::filesystem::perms::owner_all);
   const std::string index = (folder / "index.html").string();

   const auto run = runPlughost(
       {"analyze", FAULTY_NAN_ON_SILENCE_PATH, TRIMWISE_PLUGIN_PATH, ANALYSIS_CRASH_IN_PROCESS_PATH,
        TRIMWISE_PLUGIN_PATH, "/nonexistent/plugin.so", FAULTY_HANG_PATH, "--what", "linear,time",
        "--precision", "32", "--json", "-j", "2", "--timeout", "4", "--report", index},
       {.env = {"PLUGHOST_PYTHON=" + python.string()}});
   EXPECT_EQ(run.code, 1) << run.err;
   std::vector<Json> documents;
   std::istringstream lines(run.out);
   for (std::string line; std::getline(lines, line);)
      documents.push_back(Json::parse(line));
   ASSERT_EQ(documents.size(), 6u) << run.out;

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
   EXPECT_EQ(documents[5]["status"], "timeout") << documents[5].dump();

   // The index: one entry per plug-in in order, linking the reports of those that were measured.
   std::ifstream indexFile(index);
   const Json collection = Json::parse(indexFile)["collection"];
   ASSERT_EQ(collection.size(), 6u);
   const struct {
      const char* status;
      const char* report; // nullptr: none
   } expected[] = {{"failed", "index-reports/faulty_nan_on_silence.html"},
                   {"ok", "index-reports/Trimwise.html"},
                   {"crashed", "index-reports/analysis_crash_in_process.html"},
                   {"ok", "index-reports/Trimwise-2.html"},
                   {"not_loadable", nullptr},
                   {"timeout", nullptr}};
   for (size_t i = 0; i < collection.size(); ++i) {
      SCOPED_TRACE(i);
      const Json& entry = collection[i];
      EXPECT_EQ(entry["plugin"], documents[i]["plugin"]["path"]);
      EXPECT_EQ(entry["status"], expected[i].status);
      EXPECT_EQ(entry["findings"].empty(), entry["status"] == "ok") << entry.dump();
      if (!expected[i].report) {
         EXPECT_TRUE(entry["report"].is_null());
         EXPECT_TRUE(entry["report_reason"].is_string());
         continue;
      }
      ASSERT_EQ(entry["report"], expected[i].report);
      std::ifstream report(folder / expected[i].report);
      EXPECT_EQ(Json::parse(report), documents[i]);
   }
   EXPECT_EQ(collection[1]["latency"]["measured"], 0);
   std::filesystem::remove_all(folder);
}

} // namespace
