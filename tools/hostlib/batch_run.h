// SPDX-License-Identifier: MIT
// Many files through one chain of plug-ins on worker processes: each worker keeps the modules
// loaded, and every file gets fresh instances, so no file hears the tail of the one before
// (resetting an instance is not enough: many plug-ins keep their tail through suspend and
// resume). A file whose plug-in fails, crashes or hangs fails alone; the others go on.
#pragma once

#include "tools/hostlib/batch_plan.h"
#include "tools/hostlib/file_pipeline.h"
#include "tools/hostlib/plugin_module.h"

#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace plughost {

class JobContext;

// Splits settings that may carry a stage prefix ("2:Decay=0.8"; none: the first stage) into
// one list per stage. Throws ToolError(ExitCode::usage) for a stage the chain does not have.
std::vector<std::vector<std::string>> settingsByStage(const std::vector<std::string>& settings,
                                                      size_t stages);

struct FileResult {
   enum class Status { ok, failed, skipped, interrupted };
   size_t index = 0; // in the items given to run()
   std::string input, output;
   Status status = Status::ok;
   std::string error, hint; // when failed
   int code = 0;            // the exit code of the error's class, when failed
   double seconds = 0.0;    // of audio
   double wallSeconds = 0.0;
   std::string outputFormat;
   std::string encodingNote;
   uint64_t clipped = 0;
   std::vector<double> outputPeaks;
};

// "ok", "failed", "skipped", "interrupted"
const char* statusName(FileResult::Status status);

struct BatchSettings {
   PipelineSettings pipeline;                      // all but input and output, which each file sets
   std::vector<std::vector<std::string>> settings; // per stage, for every file
   size_t jobs = 0;                                // worker processes; 0: one per core
   double timeoutSeconds = 0.0;                    // per file; 0: none
   bool skipExisting = false;                      // a file whose output exists is skipped
   const volatile std::sig_atomic_t* stop = nullptr; // see JobPool::Options::stop
   // Applies settings to a new instance, as the front end reads them; throws ToolError for an
   // unknown parameter or a value that cannot be read. Runs in the workers.
   std::function<void(PluginInstance&, const std::vector<std::string>&)> configure;
};

class BatchRun {
public:
   // `modules` holds one loaded module per stage, in chain order.
   BatchRun(BatchSettings settings, std::vector<std::shared_ptr<PluginModule>> modules);

   struct Events {
      std::function<void(size_t index)> started;
      std::function<void(size_t index, double fraction)> progress; // of one file, 0..1
      std::function<void(const FileResult& result)> done;          // as each file ends
   };

   // Checks every item's settings on a fresh instance of each stage here, before any file is
   // touched (ToolError for an unknown parameter, naming the manifest line), then processes
   // the items on the workers. Calls the events in this process. Returns false if stopped.
   bool run(const std::vector<BatchItem>& items, const Events& events);

private:
   std::string processOne(size_t index, JobContext& context) const;

   BatchSettings settings_;
   std::vector<std::shared_ptr<PluginModule>> modules_;
   const std::vector<BatchItem>* items_ = nullptr;
};

} // namespace plughost
