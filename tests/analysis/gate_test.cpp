// SPDX-License-Identifier: MIT
// The regression gate and the comparison on small hand-made documents, and the cost section's
// lock on the built plug-in.
#include "tools/hostlib/analysis/measurements.h"
#include "tools/hostlib/tool_error.h"
#include "tools/plughost/analyze_command.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>

#include <unistd.h>

namespace {

using plughost::analyze::baselineRegressions;
using plughost::analyze::compareDocuments;
using plughost::analyze::Json;

Json document() {
   return Json::parse(R"({
 "schema": 1,
 "plugin": {"unique_id": 1, "inputs": 2, "outputs": 2, "instrument": false},
 "settings": {"sample_rate": 48000, "block_size": 512, "precision": 64,
              "parameters": [{"index": 0, "name": "Gain", "value": 0.5, "display": "-6.02", "label": "dB"}]},
 "latency": {"status": "ok", "reported": 0, "measured": 64, "flagged": true},
 "linear": {"status": "ok", "frequency_hz": [100, 1000, 10000],
            "magnitude_db": [[0, -3, -60], [0, -3, null]], "phase_deg": [[179.5, -45, -90], [0, -45, -90]],
            "phase_delay_frames": 64, "group_delay_frames": [[1, 1, 1], [1, 1, 1]],
            "confidence": {"time_variant": false, "level_dependent": false}},
 "thd": {"status": "ok", "points": [
     {"channel": 0, "frequency_hz": 999.76, "level_dbfs": -6, "thd_db": -60, "thdn_db": -58},
     {"channel": 0, "frequency_hz": 999.76, "level_dbfs": 0, "thd_db": -130, "thdn_db": -120}]},
 "dynamics": {"status": "ok", "input_dbfs": [-60, -30, 0], "output_dbfs": [[-60, -30, -10]],
              "attack_ms": 5, "release_ms": 50},
 "aliasing": {"status": "ok", "points": [{"channel": 0, "frequency_hz": 10000, "level_dbfs": -6, "alias_db": -40}]},
 "time": {"status": "ok", "tail_s_60db": 1.0, "tail_s_120db": 2.0, "tail_reported": 4800,
          "noise_floor_dbfs": null, "noise_floor_dbfs_reason": "silent", "dc_offset": 0},
 "cost": {"status": "ok", "block_sizes": [32, 64], "realtime_factor": {"32": [100, 200]},
          "spread": {"32": [0.1, 0.1]}, "runs": 5}
})");
}

struct GateCase {
   const char* what;
   const char* pointer;  // JSON pointer of the value changed in the second document
   const char* value;    // JSON text it becomes; nullptr: removed
   const char* expected; // the start of the one line the gate must print; "": none
   const char* tolerance = nullptr;
};

TEST(BaselineGate, NamesWhatMovedBeyondItsTolerance) {
   const GateCase cases[] = {
       {"the same document", "/schema", "1", ""},
       {"magnitude within 0.1 dB", "/linear/magnitude_db/0/1", "-3.05", ""},
       {"magnitude beyond", "/linear/magnitude_db/0/1", "-3.2",
        "linear.magnitude_db[0] at 1000 Hz moved -0.2 dB"},
       {"magnitude gone silent", "/linear/magnitude_db/0/2", "null",
        "linear.magnitude_db[0] at 10000 Hz moved -60 dB"},
       {"phase across the wrap", "/linear/phase_deg/0/0", "-179.9", ""},
       {"phase beyond", "/linear/phase_deg/0/1", "-47", "linear.phase_deg[0] at 1000 Hz moved -2"},
       {"phase where there is no output", "/linear/phase_deg/1/2", "90", ""},
       {"became time-variant", "/linear/confidence/time_variant", "true",
        "linear.confidence.time_variant is true now, false in the baseline"},
       {"latency one frame off", "/latency/measured", "65", "latency.measured moved +1 frames"},
       {"latency no longer found", "/latency/measured", "null",
        "latency.measured is not measured now, 64 frames in the baseline"},
       {"THD below the floor both times", "/thd/points/1/thd_db", "-125", ""},
       {"THD beyond", "/thd/points/0/thd_db", "-58.5",
        "thd.points.thd_db at 999.76 Hz -6 dBFS on output 0 moved +1.5 dB"},
       {"THD at another frequency", "/thd/points/0/frequency_hz", "1000",
        "thd.points: 1 points of the baseline were not measured now"},
       {"transfer curve within 0.3 dB", "/dynamics/output_dbfs/0/1", "-29.8", ""},
       {"transfer curve beyond", "/dynamics/output_dbfs/0/1", "-29.6",
        "dynamics.output_dbfs[0] at -30 dBFS in moved +0.4 dB"},
       {"attack within 5 %", "/dynamics/attack_ms", "5.2", ""},
       {"attack beyond", "/dynamics/attack_ms", "5.3", "dynamics.attack_ms moved +0.3 ms"},
       {"aliasing beyond", "/aliasing/points/0/alias_db", "-41.5",
        "aliasing.points.alias_db at 10000 Hz -6 dBFS on output 0 moved -1.5 dB"},
       {"tail beyond 5 %", "/time/tail_s_60db", "1.06", "time.tail_s_60db moved +0.06 s"},
       {"noise floor below the floor both times", "/time/noise_floor_dbfs", "-200", ""},
       {"noise floor beyond", "/time/noise_floor_dbfs", "-140",
        "time.noise_floor_dbfs moved +10 dB"},
       {"cost is not gated by default", "/cost/realtime_factor/32/0", "10", ""},
       {"cost gated on request", "/cost/realtime_factor/32/0", "50",
        "cost.realtime_factor[32] at 32 frames moved -50 x", "cost=10"},
       {"cost growing is no regression", "/cost/realtime_factor/32/0", "500", "", "cost=10"},
       {"magnitude with a wider tolerance", "/linear/magnitude_db/0/1", "-3.2", "",
        "magnitude=0.5"},
       {"another sample rate", "/settings/sample_rate", "44100",
        "settings.sample_rate is 44100 now, 48000 in the baseline"},
       {"another parameter value", "/settings/parameters/0/value", "1",
        "settings.parameters[0] 'Gain' is 1 (-6.02 dB) now, 0.5 (-6.02 dB) in the baseline"},
       {"a measurement that fails now", "/thd", R"({"status": "failed", "reason": "output NaN"})",
        "thd: measured in the baseline, failed now (output NaN)"},
       {"a measurement not asked for now", "/aliasing", nullptr,
        "aliasing: measured in the baseline, not measured now"},
       {"another schema", "/schema", "2", "schema is 2 now, 1 in the baseline"},
   };
   for (const GateCase& c : cases) {
      SCOPED_TRACE(c.what);
      Json now = document();
      const Json::json_pointer pointer(c.pointer);
      if (c.value) {
         now[pointer] = Json::parse(c.value);
      } else {
         now[pointer.parent_pointer()].erase(pointer.back());
      }
      auto tolerances = plughost::analyze::defaultTolerances();
      if (c.tolerance) plughost::analyze::setTolerance(tolerances, c.tolerance);
      const auto lines = baselineRegressions(document(), now, tolerances);
      if (*c.expected == '\0') {
         EXPECT_TRUE(lines.empty()) << lines.front();
      } else {
         ASSERT_EQ(lines.size(), 1u) << (lines.empty() ? "" : lines.back());
         EXPECT_EQ(lines.front().rfind(c.expected, 0), 0u) << lines.front();
      }
   }
}

TEST(BaselineGate, RefusesUnknownTolerancesAndValuesThatAreNoNumbers) {
   auto tolerances = plughost::analyze::defaultTolerances();
   for (const char* wrong : {"loudness=1", "magnitude", "magnitude=", "magnitude=0.1dB", "=1"})
      EXPECT_THROW(plughost::analyze::setTolerance(tolerances, wrong), plughost::ToolError)
          << wrong;
   EXPECT_EQ(tolerances, plughost::analyze::defaultTolerances());
}

TEST(Compare, DifferencesBMinusAWhereTheGridsAgree) {
   const Json a = document();
   Json b = document();
   b["linear"]["magnitude_db"][0][1] = -4.5;
   b["linear"]["phase_deg"][0][0] = -179.5; // 1 degree further on, across the wrap
   b["linear"]["magnitude_db"][1][0] = nullptr;
   std::swap(b["thd"]["points"][0], b["thd"]["points"][1]); // matched by level, not position
   b["thd"]["points"][0]["thd_db"] = -120;
   b["cost"]["realtime_factor"]["32"] = {50, 400};
   b["time"] = {{"status", "crashed"}, {"reason", "SIGSEGV"}};
   b["aliasing"]["points"][0]["frequency_hz"] = 11000; // nothing to match

   const Json result = compareDocuments(a, b);
   EXPECT_EQ(result["schema"], 1);
   EXPECT_EQ(result["compare"]["a"], a);
   EXPECT_EQ(result["compare"]["b"], b);
   const Json& d = result["compare"]["difference"];
   EXPECT_EQ(d["linear"]["frequency_hz"], a["linear"]["frequency_hz"]);
   EXPECT_DOUBLE_EQ(d["linear"]["magnitude_db"][0][1].get<double>(), -1.5);
   EXPECT_DOUBLE_EQ(d["linear"]["phase_deg"][0][0].get<double>(), 1.0);
   EXPECT_TRUE(d["linear"]["magnitude_db"][1][0].is_null());
   EXPECT_TRUE(d["linear"]["magnitude_db"][1][2].is_null()); // null in both
   EXPECT_EQ(d["latency"]["measured"], 0);
   ASSERT_EQ(d["thd"]["points"].size(), 2u);
   EXPECT_EQ(d["thd"]["points"][1]["level_dbfs"], 0);
   EXPECT_DOUBLE_EQ(d["thd"]["points"][1]["thd_db"].get<double>(), 10.0);
   EXPECT_EQ(d["thd"]["points"][0]["thd_db"], 0);
   EXPECT_EQ(d["aliasing"]["points"], Json::array());
   EXPECT_EQ(d["cost"]["realtime_factor_ratio"]["32"], Json({0.5, 2}));
   EXPECT_TRUE(d["time"].is_null());
   EXPECT_EQ(d["time_reason"], "not measured in b");

   b["linear"]["frequency_hz"][1] = 1001;
   const Json other = compareDocuments(a, b)["compare"]["difference"];
   EXPECT_TRUE(other["linear"].is_null());
   EXPECT_EQ(other["linear_reason"], "measured on different grids");
}

// The cost section waits while a measurement of another analysis runs, and measures every
// block size of every precision the plug-in processes.
TEST(Cost, WaitsForOtherMeasurementsAndTimesEveryBlockSize) {
   const auto folder = std::filesystem::temp_directory_path() /
                       ("plughost-cost-test-" + std::to_string(::getpid()));
   std::filesystem::create_directories(folder);
   ::setenv("TMPDIR", folder.c_str(), 1);
   auto running = std::make_unique<trimwise::host::analysis::MachineShare>();

   const auto plugin = trimwise::host::Plugin::load(TRIMWISE_PLUGIN_PATH);
   trimwise::host::analysis::AnalysisOptions options;
   options.settings = {"Left Gain=-6 dB"};
   Json cost;
   std::atomic<bool> done{false};
   std::thread timing([&] {
      cost = trimwise::host::analysis::measureCost(plugin, options);
      done = true;
   });
   // Unlocked, Trimwise's timing takes a few milliseconds, and the load reading after it 0.3 s.
   std::this_thread::sleep_for(std::chrono::milliseconds(700));
   EXPECT_FALSE(done) << "timed while another measurement ran";
   running.reset();
   timing.join();
   // Taken again once the timing is over.
   running = std::make_unique<trimwise::host::analysis::MachineShare>();
   running.reset();
   ::unsetenv("TMPDIR");
   std::filesystem::remove_all(folder);

   EXPECT_EQ(cost["status"], "ok");
   EXPECT_GT(cost["lock_wait_s"].get<double>(), 0.3);
   EXPECT_EQ(cost["alone"], true);
   EXPECT_EQ(cost["block_sizes"], Json({32, 64, 128, 256, 512, 1024, 2048, 4096}));
   for (const char* precision : {"32", "64"}) {
      SCOPED_TRACE(precision);
      ASSERT_EQ(cost["realtime_factor"][precision].size(), 8u);
      for (size_t i = 0; i < 8; ++i) {
         EXPECT_GT(cost["realtime_factor"][precision][i].get<double>(), 1.0);
         EXPECT_GE(cost["spread"][precision][i].get<double>(), 0.0);
      }
   }
   EXPECT_EQ(cost["runs"], 5);
   EXPECT_TRUE(cost["machine_loaded"].is_boolean());

   options.precision = 32;
   const Json single = trimwise::host::analysis::measureCost(plugin, options);
   EXPECT_FALSE(single["realtime_factor"].contains("64"));
}

} // namespace
