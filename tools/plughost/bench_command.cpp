// SPDX-License-Identifier: MIT
// plughost bench: how fast a plug-in processes, block size by block size, against memcpy.

#include "tools/hostlib/bench.h"
#include "tools/hostlib/tool_error.h"
#include "tools/plughost/commands.h"

#include <cstdio>
#include <iostream>

namespace plughost {

CLI::App* addBenchCommand(CLI::App& app, CommonOptions& common, BenchCommandOptions& options) {
   auto* bench = app.add_subcommand("bench", "time its processing per block size against memcpy");
   addCommon(bench, common);
   bench->add_option("--precision", options.precision, "32, 64 or both")
       ->type_name("32|64|both")
       ->check(CLI::IsMember({"32", "64", "both"}).description(""))
       ->capture_default_str();
   bench->add_option("--seconds", options.seconds, "time to spend on each row")
       ->type_name("S")
       ->check(CLI::Range(0.001, 60.0).description(""))
       ->capture_default_str();

   return bench;
}

int runBenchCommand(CommonOptions& common, const BenchCommandOptions& options) {
   auto module = loadPlugin(common.plugin, "measuring");
   PluginInstance p(module, hostSettings(common, static_cast<float>(kBenchSampleRate), 65536));
   applySettings(p, common.settings);
   BenchOptions bench;
   bench.secondsPerRow = options.seconds;
   bench.precisions = {32};
   std::string note;
   if (options.precision != "32") {
      if (p.canProcessDouble()) {
         bench.precisions = options.precision == "64" ? std::vector<int>{64} : std::vector{32, 64};
      } else if (options.precision == "64") {
         throw ToolError(ExitCode::usage, "the plug-in does not process 64-bit audio",
                         "measure 32-bit processing instead (--precision 32)");
      } else {
         note = "the plug-in does not process 64-bit audio; 32-bit only\n";
      }
   }

   const auto cells = [](const BenchRow& r) {
      return std::vector<std::string>{
          std::to_string(r.precision) + "-bit",    std::to_string(r.blockSize),
          r.inPlace ? "in place" : "out of place", printed("%.1f", r.nsPerBlock),
          printed("%.1f", r.memcpyNsPerBlock),     printed("%.2f", r.ratio()),
          printed("%.0f", r.realtimeFactor())};
   };
   // Rows are printed as they finish, so the columns get fixed widths instead of fitted ones.
   const auto line = [](const std::vector<std::string>& c) {
      char text[160];
      std::snprintf(text, sizeof text, "%-9s %6s  %-12s %10s %10s %7s %12s\n", c[0].c_str(),
                    c[1].c_str(), c[2].c_str(), c[3].c_str(), c[4].c_str(), c[5].c_str(),
                    c[6].c_str());
      return std::string(text);
   };
   if (!common.json) {
      std::cout << "bench " << common.plugin << " at " << kBenchSampleRate << " Hz: best of "
                << bench.repetitions << " repetitions, " << options.seconds << " s per row\n"
                << note << '\n'
                << line({"precision", "block", "buffers", "ns/block", "memcpy ns", "ratio",
                         "x real time"})
                << std::flush;
   }
   const auto rows = runBench(p, bench, [&](const BenchRow& r) {
      if (!common.json) std::cout << line(cells(r)) << std::flush;
   });
   if (common.json) {
      JsonWriter j;
      j.beginObject();
      j.key("plugin").value(common.plugin);
      j.key("sampleRate").value(kBenchSampleRate);
      j.key("repetitions").value(bench.repetitions);
      j.key("secondsPerRow").value(bench.secondsPerRow);
      j.key("rows").beginArray();
      for (const auto& r : rows) {
         j.beginObject();
         j.key("precision").value(r.precision).key("blockSize").value(r.blockSize);
         j.key("inPlace").value(r.inPlace);
         j.key("nsPerBlock").value(r.nsPerBlock).key("memcpyNsPerBlock").value(r.memcpyNsPerBlock);
         j.key("ratio").value(r.ratio()).key("realtimeFactor").value(r.realtimeFactor());
         j.endObject();
      }
      j.endArray().endObject();
      std::cout << j.text() << '\n';
   }
   return 0;
}

} // namespace plughost
