// SPDX-License-Identifier: MIT
#include "tools/hostlib/batch_run.h"

#include "tools/hostlib/job_pool.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <filesystem>

namespace plughost {
namespace {

using nlohmann::json;

FileResult resultFromJson(const json& j) {
   FileResult r;
   r.status = j.value("ok", false) ? FileResult::Status::ok : FileResult::Status::failed;
   r.error = j.value("error", "");
   r.hint = j.value("hint", "");
   r.code = j.value("code", 0);
   r.seconds = j.value("seconds", 0.0);
   r.wallSeconds = j.value("wallSeconds", 0.0);
   r.outputFormat = j.value("outputFormat", "");
   r.encodingNote = j.value("encodingNote", "");
   r.clipped = j.value("clipped", uint64_t{0});
   if (j.contains("outputPeaks")) r.outputPeaks = j["outputPeaks"].get<std::vector<double>>();
   return r;
}

std::string itemName(const BatchItem& item) {
   return "'" + item.input + "'" +
          (item.line ? " (manifest line " + std::to_string(item.line) + ")" : "");
}

} // namespace

std::vector<std::vector<std::string>> settingsByStage(const std::vector<std::string>& settings,
                                                      size_t stages) {
   std::vector<std::vector<std::string>> split(stages);
   for (const auto& text : settings) {
      size_t digits = 0;
      while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits])))
         ++digits;
      size_t stage = 1;
      std::string rest = text;
      if (digits > 0 && digits < text.size() && text[digits] == ':') {
         stage = std::stoul(text.substr(0, std::min<size_t>(digits, 9)));
         rest = text.substr(digits + 1);
      }
      if (stage < 1 || stage > stages) {
         throw ToolError(ExitCode::usage,
                         "'" + text + "' names stage " + std::to_string(stage) + " of a chain of " +
                             std::to_string(stages),
                         "stages are counted from 1, in the order the plug-ins are given");
      }
      split[stage - 1].push_back(rest);
   }
   return split;
}

const char* statusName(FileResult::Status status) {
   switch (status) {
   case FileResult::Status::ok:
      return "ok";
   case FileResult::Status::failed:
      return "failed";
   case FileResult::Status::skipped:
      return "skipped";
   case FileResult::Status::interrupted:
      return "interrupted";
   }
   return "unknown";
}

BatchRun::BatchRun(BatchSettings settings, std::vector<std::shared_ptr<PluginModule>> modules)
    : settings_(std::move(settings)), modules_(std::move(modules)) {
   settings_.settings.resize(modules_.size());
}

// Runs in a worker: one file through fresh instances of every stage. The answer is JSON.
std::string BatchRun::processOne(size_t index, JobContext& context) const {
   const BatchItem& item = (*items_)[index];
   json answer;
   try {
      PipelineSettings s = settings_.pipeline;
      s.input = item.input;
      s.output = item.output;
      FilePipeline pipeline(s);
      const auto perFile = settingsByStage(item.settings, modules_.size());
      std::vector<std::unique_ptr<PluginInstance>> instances;
      std::vector<PluginInstance*> chain;
      for (size_t k = 0; k < modules_.size(); ++k) {
         HostSettings host;
         host.sampleRate = static_cast<float>(pipeline.input().sampleRate);
         host.blockSize = s.blockSize;
         instances.push_back(std::make_unique<PluginInstance>(modules_[k], host));
         if (settings_.configure) {
            settings_.configure(*instances.back(), settings_.settings[k]);
            settings_.configure(*instances.back(), perFile[k]);
         }
         chain.push_back(instances.back().get());
      }
      const PipelineReport report = pipeline.run(chain, [&](size_t done, size_t total) {
         context.progress(total ? static_cast<double>(done) / static_cast<double>(total) : 1.0);
      });
      answer["ok"] = true;
      answer["seconds"] = report.seconds;
      answer["wallSeconds"] = report.wallSeconds;
      answer["outputFormat"] = describeFormat(report.outputFormat);
      if (!report.formatNote.empty()) answer["encodingNote"] = report.formatNote;
      answer["clipped"] = report.clipped;
      std::vector<double> peaks;
      for (const auto& l : report.stages.back().outputLevels)
         peaks.push_back(l.peak);
      answer["outputPeaks"] = peaks;
   } catch (const ToolError& e) {
      answer["ok"] = false;
      answer["error"] = e.what();
      answer["hint"] = e.hint();
      answer["code"] = static_cast<int>(e.code());
   }
   return answer.dump();
}

bool BatchRun::run(const std::vector<BatchItem>& items, const Events& events) {
   // Every file's settings are read once here, so that a misspelt name stops the run before
   // any file is written.
   {
      std::vector<std::unique_ptr<PluginInstance>> probes;
      for (const auto& module : modules_)
         probes.push_back(std::make_unique<PluginInstance>(module));
      for (size_t k = 0; k < modules_.size(); ++k) {
         if (settings_.configure) settings_.configure(*probes[k], settings_.settings[k]);
      }
      for (const auto& item : items) {
         try {
            const auto perFile = settingsByStage(item.settings, modules_.size());
            for (size_t k = 0; k < modules_.size(); ++k) {
               if (settings_.configure && !perFile[k].empty()) {
                  settings_.configure(*probes[k], perFile[k]);
               }
            }
         } catch (const ToolError& e) {
            throw ToolError(e.code(), itemName(item) + ": " + e.what(), e.hint());
         }
      }
   }

   items_ = &items;
   std::vector<std::string> jobs;
   std::vector<size_t> indices;
   for (size_t i = 0; i < items.size(); ++i) {
      std::error_code error;
      if (settings_.skipExisting &&
          std::filesystem::exists(std::filesystem::symlink_status(items[i].output, error))) {
         FileResult r;
         r.index = i;
         r.input = items[i].input;
         r.output = items[i].output;
         r.status = FileResult::Status::skipped;
         if (events.done) events.done(r);
         continue;
      }
      jobs.push_back(std::to_string(i));
      indices.push_back(i);
   }
   JobPool pool([this](const std::string& job,
                       JobContext& context) { return processOne(std::stoul(job), context); },
                {settings_.jobs, settings_.timeoutSeconds, settings_.stop});
   JobPool::Events poolEvents;
   poolEvents.progress = [&](size_t j, double fraction) {
      if (events.progress) events.progress(indices[j], fraction);
   };
   poolEvents.started = [&](size_t j) {
      if (events.started) events.started(indices[j]);
   };
   poolEvents.done = [&](size_t j, const JobOutcome& outcome) {
      const size_t i = indices[j];
      FileResult r;
      if (outcome.status == JobOutcome::Status::done) {
         try {
            r = resultFromJson(json::parse(outcome.answer));
         } catch (const json::exception&) {
            r.status = FileResult::Status::failed;
            r.error = "the worker gave an answer that cannot be read";
         }
      } else if (outcome.status == JobOutcome::Status::cancelled) {
         r.status = FileResult::Status::interrupted;
      } else {
         r.status = FileResult::Status::failed;
         r.code = static_cast<int>(outcome.status == JobOutcome::Status::failed ? ExitCode::failed
                                                                                : ExitCode::plugin);
         r.error = outcome.problem(settings_.timeoutSeconds);
         r.hint = outcome.status == JobOutcome::Status::timedOut
                      ? "the plug-in may hang on this file; allow more time if it is long"
                      : "the plug-in most likely crashed on this file; the other files went on";
      }
      r.index = i;
      r.input = items[i].input;
      r.output = items[i].output;
      if (events.done) events.done(r);
   };
   const bool finished = pool.run(jobs, poolEvents);
   items_ = nullptr;
   return finished;
}

} // namespace plughost
