// SPDX-License-Identifier: MIT
// analyze() against plug-ins that crash, hang or output NaN once audio flows, each measurement in
// a child of its own; and the command line's JSON and errors through the built plughost.
#include "tests/support/run_plughost.h"
#include "tools/hostlib/analysis/analysis.h"

#include <gtest/gtest.h>
#include <trimwise/host/errors.h>

#include <cmath>

namespace trimwise::host::analysis {
namespace {

using testing::kExitUsage;
using testing::runPlughost;

bool contains(const Json& text, const std::string& part) {
   return text.is_string() && text.get<std::string>().find(part) != std::string::npos;
}

// A fault in the first measurement: its sections say what happened, naming the call and the
// signal; a crash or hang ends the plug-in's report (later measurements "not_run"), output NaN
// or far beyond full scale fails only that measurement. Every case is a finding.
TEST(AnalyzeFaults, EachFaultIsAttributedToItsMeasurement) {
   struct Case {
      const char* path;
      const char* status;
      const char* reason; // a part of the reason
      const char* later;  // the status of the measurement after it
   };
   const Case cases[] = {
       {FAULT_CRASH_PATH, "crashed", "SIGSEGV", "not_run"},
       {FAULT_HANG_PATH, "timeout", "did not finish within 1 s", "not_run"},
       {FAULT_NAN_PATH, "failed", "output NaN at frame 511 of output 1", nullptr},
       {FAULT_BLOWUP_PATH, "failed", "output 1e+30 (+600 dBFS) at frame 0 of output 0", nullptr},
   };
   for (const auto& e : cases) {
      SCOPED_TRACE(e.path);
      AnalysisOptions options;
      options.what = {"linear", "time"};
      options.timeoutSeconds = 1;
      std::vector<std::string> started;
      const Json doc =
          analyze(e.path, options, [&](const std::string& m) { started.push_back(m); });
      for (const auto* key : {"latency", "linear"}) {
         EXPECT_EQ(doc[key]["status"], e.status) << doc[key].dump();
         EXPECT_TRUE(contains(doc[key]["reason"], e.reason)) << doc[key].dump();
         EXPECT_TRUE(contains(doc[key]["reason"], "processDoubleReplacing")) << doc[key].dump();
         EXPECT_TRUE(contains(doc[key]["reason"], "the sweep at -6 dBFS")) << doc[key].dump();
      }
      if (e.later) {
         EXPECT_EQ(doc["time"]["status"], e.later);
         EXPECT_EQ(started, std::vector<std::string>{"linear"});
      } else {
         EXPECT_EQ(started, (std::vector<std::string>{"linear", "time"}));
      }
      ASSERT_FALSE(doc["findings"].empty());
      EXPECT_EQ(doc["findings"][0]["severity"], "failure");
   }
}

// What keeps every measurement from starting is thrown before any starts, as the library's error
// of its kind.
TEST(AnalyzeFaults, RefusesWhatCannotBeSetBeforeMeasuring) {
   struct Case {
      std::vector<std::string> settings;
      double rate;
      ErrorKind kind;
      const char* cause;
   };
   const Case cases[] = {
       {{"Volume=0.5"}, 48000, ErrorKind::badArgument, "Volume"},
       {{"Left Gain=+12dB"}, 48000, ErrorKind::badArgument, "Left Gain"},
       {{}, -1, ErrorKind::badArgument, "sample rate"},
       {{}, 96000, ErrorKind::failed, "refuses a sample rate of 96000 Hz"},
   };
   for (const auto& e : cases) {
      AnalysisOptions options;
      options.settings = e.settings;
      options.sampleRate = e.rate;
      bool started = false;
      try {
         analyze(e.rate == 96000 ? FAULT_RATE_PATH : TRIMWISE_PLUGIN_PATH, options,
                 [&](const std::string&) { started = true; });
         ADD_FAILURE() << "no error for " << e.cause;
      } catch (const Error& error) {
         EXPECT_EQ(error.kind(), e.kind) << error.what();
         EXPECT_NE(std::string(error.what()).find(e.cause), std::string::npos) << error.what();
      }
      EXPECT_FALSE(started);
   }
}

// The document of a real plug-in, through the command line: the settings applied, the response
// of each output, nothing but finite numbers or nulls, and an instrument's audio sections.
TEST(AnalyzeCommand, JsonHoldsTheSettingsAndEachOutputsResponse) {
   const auto run = runPlughost({"analyze", TRIMWISE_PLUGIN_PATH, "--what", "linear", "--json",
                                 "--rate", "44100", "--param", "Left Gain=-6dB"});
   ASSERT_EQ(run.code, 0) << run.err;
   const Json doc = Json::parse(run.out);
   EXPECT_EQ(doc["schema"], kSchema);
   EXPECT_EQ(doc["settings"]["sample_rate"], 44100);
   EXPECT_TRUE(contains(doc["settings"]["parameters"][0]["display"], "-6.0"));
   EXPECT_EQ(doc["what"], Json::array({"linear"}));
   EXPECT_EQ(doc["latency"]["measured"], 0);
   EXPECT_FALSE(doc["latency"]["flagged"].get<bool>());
   const Json& magnitude = doc["linear"]["magnitude_db"];
   ASSERT_EQ(magnitude.size(), 2u);
   for (size_t i = 0; i < magnitude[0].size(); ++i) {
      ASSERT_NEAR(magnitude[0][i].get<double>(), -6.0, 0.01);
      ASSERT_NEAR(magnitude[1][i].get<double>(), 0.0, 1e-6);
   }
   EXPECT_TRUE(doc["findings"].empty()) << doc["findings"].dump();

   for (const auto& args : std::vector<std::vector<std::string>>{
            {"--what", "linear,loudness"}, {"--param", "Volume=1"}, {"--precision", "16"}}) {
      std::vector<std::string> command = {"analyze", TRIMWISE_PLUGIN_PATH};
      command.insert(command.end(), args.begin(), args.end());
      const auto bad = runPlughost(command);
      EXPECT_EQ(bad.code, kExitUsage) << args[0] << ": " << bad.err;
      EXPECT_NE(bad.err.find("hint: "), std::string::npos) << bad.err;
   }
}

} // namespace
} // namespace trimwise::host::analysis
