// SPDX-License-Identifier: MIT
// plughost bench: how fast a plug-in processes, block size by block size, against memcpy. A plan
// is made from the options and what the plug-in can do, run into a report, and printed as text
// or JSON; the text rows are printed as they finish, since a run takes a while.

#include "tools/hostlib/bench.h"
#include "tools/plughost/commands.h"

#include <trimwise/host/raw/instance.h>

#include <cstdio>
#include <iostream>

namespace plughost {
namespace {

struct BenchPlan {
   BenchOptions bench;
   std::string note; // said before the rows: why a precision asked for is left out
};

struct BenchReport {
   std::string plugin;
   BenchOptions bench;
   std::vector<BenchRow> rows;
};

BenchPlan plan(const BenchCommandOptions& options, bool canProcessDouble) {
   BenchPlan p;
   p.bench.secondsPerRow = options.seconds;
   p.bench.precisions = {32};
   if (options.precision == "32") return p;
   if (canProcessDouble) {
      p.bench.precisions = options.precision == "64" ? std::vector<int>{64} : std::vector{32, 64};
   } else if (options.precision == "64") {
      throw host::BadArgument("the plug-in does not process 64-bit audio",
                              "measure 32-bit processing instead (--precision 32)");
   } else {
      p.note = "the plug-in does not process 64-bit audio; 32-bit only\n";
   }
   return p;
}

// Rows are printed as they finish, so the columns get fixed widths instead of fitted ones.
std::string line(const std::vector<std::string>& c) {
   char text[160];
   std::snprintf(text, sizeof text, "%-9s %6s  %-12s %10s %10s %7s %12s\n", c[0].c_str(),
                 c[1].c_str(), c[2].c_str(), c[3].c_str(), c[4].c_str(), c[5].c_str(),
                 c[6].c_str());
   return text;
}

std::string rowLine(const BenchRow& r) {
   return line({std::to_string(r.precision) + "-bit", std::to_string(r.blockSize),
                r.inPlace ? "in place" : "out of place", printed("%.1f", r.nsPerBlock),
                printed("%.1f", r.memcpyNsPerBlock), printed("%.2f", r.ratio()),
                printed("%.0f", r.realtimeFactor())});
}

void printTextHead(const std::string& plugin, const BenchPlan& p) {
   std::cout << "bench " << plugin << " at " << kBenchSampleRate << " Hz: best of "
             << p.bench.repetitions << " repetitions, " << p.bench.secondsPerRow << " s per row\n"
             << p.note << '\n'
             << line({"precision", "block", "buffers", "ns/block", "memcpy ns", "ratio",
                      "x real time"})
             << std::flush;
}

void printJson(const BenchReport& r) {
   JsonWriter j;
   j.beginObject();
   j.key("plugin").value(r.plugin);
   j.key("sampleRate").value(kBenchSampleRate);
   j.key("repetitions").value(r.bench.repetitions);
   j.key("secondsPerRow").value(r.bench.secondsPerRow);
   j.key("rows").beginArray();
   for (const auto& row : r.rows) {
      j.beginObject();
      j.key("precision").value(row.precision).key("blockSize").value(row.blockSize);
      j.key("inPlace").value(row.inPlace);
      j.key("nsPerBlock").value(row.nsPerBlock).key("memcpyNsPerBlock").value(row.memcpyNsPerBlock);
      j.key("ratio").value(row.ratio()).key("realtimeFactor").value(row.realtimeFactor());
      j.endObject();
   }
   j.endArray().endObject();
   std::cout << j.text() << '\n';
}

} // namespace

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
   const host::Plugin plugin = openPlugin(common.plugin, "measuring");
   host::Instance p = plugin.instantiate(instanceOptions(common, kBenchSampleRate, 65536));
   applySettings(p, common.settings);
   const BenchPlan bench = plan(options, p.canProcessDouble());
   if (!common.json) printTextHead(common.plugin, bench);
   BenchReport report{common.plugin, bench.bench, {}};
   report.rows = runBench(p.raw(), bench.bench, [&](const BenchRow& r) {
      if (!common.json) std::cout << rowLine(r) << std::flush;
   });
   if (common.json) printJson(report);
   return 0;
}

} // namespace plughost
