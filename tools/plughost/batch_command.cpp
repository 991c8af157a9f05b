// SPDX-License-Identifier: MIT
// plughost process with many files: inputs and folders into an output folder, on worker
// processes, with a progress line, one JSON line per file, and a summary of the failures.

#include "tools/hostlib/batch_plan.h"
#include "tools/hostlib/batch_run.h"
#include "tools/hostlib/job_pool.h"
#include "tools/hostlib/progress_line.h"
#include "tools/hostlib/tool_error.h"
#include "tools/plughost/commands.h"
#include "tools/plughost/text_table.h"

#include <nlohmann/json.hpp>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <map>

namespace plughost {
namespace {

// Set by Ctrl-C (SIGINT) or SIGTERM: the run stops starting files, lets the workers remove what
// they were writing, prints what it did, and exits with 128 + the signal.
volatile std::sig_atomic_t gStop = 0;

void onStop(int signal) {
   gStop = signal;
}

void catchStop() {
   struct sigaction action {};
   action.sa_handler = onStop;
   sigemptyset(&action.sa_mask);
   sigaction(SIGINT, &action, nullptr);
   sigaction(SIGTERM, &action, nullptr);
}

nlohmann::json resultJson(const FileResult& r) {
   nlohmann::json j;
   j["input"] = r.input;
   j["output"] = r.output;
   j["status"] = statusName(r.status);
   if (r.status == FileResult::Status::ok) {
      j["seconds"] = r.seconds;
      j["wallSeconds"] = r.wallSeconds;
      j["outputFormat"] = r.outputFormat;
      if (!r.encodingNote.empty()) j["encodingNote"] = r.encodingNote;
      j["clippedSamples"] = r.clipped;
      j["outputPeaks"] = r.outputPeaks;
   } else if (r.status == FileResult::Status::failed) {
      j["error"] = r.error;
      j["hint"] = r.hint;
   }
   return j;
}

std::vector<BatchItem> plan(const ProcessOptions& options) {
   if (options.outdir.empty()) {
      const size_t n = options.inputOption.size();
      throw ToolError(ExitCode::usage,
                      (n == 2 ? std::string("two") : std::to_string(n)) +
                          " input files given, and -o names one output file",
                      "write them into a folder with -O DIR, or give one input");
   }
   if (options.output != "out.wav") {
      throw ToolError(ExitCode::usage, "-o names one output file, and -O a folder for many",
                      "with several inputs give only -O DIR (and --ext for the container)");
   }
   std::vector<BatchItem> items;
   if (!options.manifest.empty()) {
      if (!options.inputOption.empty()) {
         throw ToolError(ExitCode::usage,
                         "inputs given both on the command line and in "
                         "the manifest",
                         "list every file in the manifest, or leave out --manifest");
      }
      items = readManifest(options.manifest, options.outdir, options.extension);
   } else {
      if (options.inputOption.empty()) {
         throw ToolError(ExitCode::usage, "no input files given",
                         "give files or folders with -i (and -r for subfolders)");
      }
      items = planBatch(options.inputOption, options.recursive, options.outdir, options.extension);
   }
   checkBatch(items);
   return items;
}

} // namespace

int runBatch(CommonOptions& common, const ProcessOptions& options,
             const std::vector<std::string>& stages) {
   if (!options.midi.empty() || !options.map.empty()) {
      throw ToolError(ExitCode::usage, "--midi and --map apply to one file",
                      "process such files one at a time");
   }
   const std::vector<BatchItem> items = plan(options);
   // Every stage is loaded (each first in a child, which reports one that crashes) before any
   // file is touched.
   std::vector<std::shared_ptr<PluginModule>> modules;
   std::vector<std::string> paths = stages;
   for (auto& path : paths)
      modules.push_back(loadPlugin(path, "processing with"));
   createOutputFolders(options.outdir, items);

   BatchSettings settings;
   settings.pipeline.overwrite = options.overwrite;
   settings.pipeline.encoding = options.encoding;
   settings.pipeline.blockSize = options.blockSize;
   settings.pipeline.precision = options.precision;
   settings.settings = settingsByStage(common.settings, stages.size());
   settings.jobs = options.jobs > 0 ? static_cast<size_t>(options.jobs) : JobPool::defaultWorkers();
   settings.timeoutSeconds = options.timeout;
   settings.skipExisting = options.skipExisting;
   settings.stop = &gStop;
   settings.configure = [](PluginInstance& p, const std::vector<std::string>& s) {
      applySettings(p, s);
   };
   BatchRun batch(settings, modules);

   const bool talk = !options.quiet && !common.json;
   ProgressLine line(std::cerr, talk && isatty(STDERR_FILENO), STDERR_FILENO);
   ProgressCounts counts;
   counts.total = items.size();
   std::map<size_t, double> inFlight; // index: fraction done
   std::vector<FileResult> failures;
   size_t ok = 0, skipped = 0, interrupted = 0;
   double wallSum = 0.0;
   const auto started = Clock::now();
   const auto draw = [&](bool now) {
      counts.wallSeconds = std::chrono::duration<double>(Clock::now() - started).count();
      double partial = 0.0;
      for (const auto& [index, fraction] : inFlight)
         partial += fraction;
      counts.fraction = counts.total ? (static_cast<double>(counts.done) + partial) /
                                           static_cast<double>(counts.total)
                                     : 1.0;
      line.show(progressText(counts), now);
   };
   BatchRun::Events events;
   events.started = [&](size_t index) { inFlight[index] = 0.0; };
   events.progress = [&](size_t index, double fraction) {
      inFlight[index] = fraction;
      draw(false);
   };
   events.done = [&](const FileResult& r) {
      inFlight.erase(r.index);
      if (common.json) std::cout << resultJson(r).dump() << std::endl;
      switch (r.status) {
      case FileResult::Status::ok:
         ++ok;
         counts.audioSeconds += r.seconds;
         wallSum += r.wallSeconds;
         break;
      case FileResult::Status::failed:
         failures.push_back(r);
         ++counts.failed;
         if (talk) {
            line.clear();
            std::cerr << "plughost: failed: " << r.input << ": " << r.error << '\n';
         }
         break;
      case FileResult::Status::skipped:
         ++skipped;
         break;
      case FileResult::Status::interrupted:
         ++interrupted;
         return; // not done: its output was removed
      }
      ++counts.done;
      draw(r.status != FileResult::Status::ok);
   };
   catchStop();
   const bool finished = batch.run(items, events);
   line.clear();
   const double wall = std::chrono::duration<double>(Clock::now() - started).count();
   const size_t notStarted = items.size() - counts.done - interrupted;

   if (common.json) {
      nlohmann::json summary;
      summary["files"] = items.size();
      summary["ok"] = ok;
      summary["failed"] = failures.size();
      summary["skipped"] = skipped;
      summary["interrupted"] = interrupted;
      summary["notStarted"] = notStarted;
      summary["seconds"] = counts.audioSeconds;
      summary["wallSeconds"] = wall;
      summary["workers"] = settings.jobs;
      summary["chain"] = paths;
      std::cout << nlohmann::json{{"summary", summary}}.dump() << std::endl;
   } else if (!options.quiet || !failures.empty() || !finished) {
      TextTable table;
      for (size_t k = 0; k < paths.size(); ++k) {
         std::string set;
         for (const auto& s : settings.settings[k])
            set += (set.empty() ? ", " : "; ") + s;
         table.add({"stage " + std::to_string(k + 1), paths[k] + set});
      }
      std::string files = std::to_string(ok) + " written";
      if (!failures.empty()) files += ", " + std::to_string(failures.size()) + " failed";
      if (skipped) files += ", " + std::to_string(skipped) + " skipped (their output exists)";
      if (interrupted) files += ", " + std::to_string(interrupted) + " interrupted";
      if (notStarted) files += ", " + std::to_string(notStarted) + " not started";
      table.add({"files", files + " of " + std::to_string(items.size())});
      table.add({"output folder", options.outdir});
      table.add(
          {"audio", printed("%.1f s", counts.audioSeconds) + printed(" in %.2f s", wall) +
                        (wall > 0 ? printed(", %.0fx real time", counts.audioSeconds / wall) : "") +
                        " on " + std::to_string(settings.jobs) + " workers"});
      std::ostream& out = options.quiet ? std::cerr : std::cout;
      out << table.text();
      for (const auto& f : failures)
         out << "failed: " << f.input << ": " << f.error << "\n  hint: " << f.hint << '\n';
      if (!finished) {
         out << "interrupted: no partial output is left; run again with --skip-existing to "
                "resume\n";
      }
   }
   if (!finished) return 128 + (gStop ? static_cast<int>(gStop) : SIGINT);
   return failures.empty() ? 0 : static_cast<int>(ExitCode::failed);
}

} // namespace plughost
