// SPDX-License-Identifier: MIT
#include "tools/hostlib/file_pipeline.h"

#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>

namespace plughost {

static_assert(kTestSignalFormat == (SF_FORMAT_WAV | SF_FORMAT_FLOAT));

namespace {

using Clock = std::chrono::steady_clock;

// The test signal used when there is no input file: one sine per channel at half of full scale
// (-6.02 dBFS), 440 Hz on the first channel and a fifth higher on each further one, so that the
// channels can be told apart in the output. Made chunk by chunk as it is processed.
class TestSignal {
public:
   TestSignal(int channels, int sampleRate) : channels_(static_cast<size_t>(channels)) {
      for (size_t c = 0; c < channels_; ++c) {
         steps_.push_back(2.0 * std::numbers::pi * 440.0 * std::pow(1.5, static_cast<double>(c)) /
                          sampleRate);
      }
   }
   template <class Sample>
   void fill(Sample* interleaved, size_t frames) {
      for (size_t i = 0; i < frames; ++i, ++frame_) {
         for (size_t c = 0; c < channels_; ++c) {
            interleaved[i * channels_ + c] =
                static_cast<Sample>(0.5 * std::sin(steps_[c] * static_cast<double>(frame_)));
         }
      }
   }

private:
   size_t channels_;
   std::vector<double> steps_;
   size_t frame_ = 0;
};

std::string stageName(size_t index, PluginInstance& p) {
   return "stage " + std::to_string(index + 1) + " ('" + p.effectName() + "')";
}

// How the stage after `from` is fed from its outputs: channel by channel, or a mono output into
// every input. Anything else would have to drop or invent channels, which a chain never does
// silently.
ChannelMap stageMap(int fromChannels, int inputs, const std::string& from, const std::string& to) {
   if (fromChannels != inputs && fromChannels != 1 && inputs != 0) {
      throw ToolError(ExitCode::usage,
                      from + " gives " + std::to_string(fromChannels) + " channels but " + to +
                          " takes " + std::to_string(inputs),
                      "chain plug-ins whose channels match; a mono output feeds every input");
   }
   ChannelMap map;
   map.inputs.resize(static_cast<size_t>(inputs));
   for (int i = 0; i < inputs; ++i)
      map.inputs[static_cast<size_t>(i)] = {fromChannels == 1 ? 0 : i};
   return map;
}

} // namespace

FilePipeline::FilePipeline(PipelineSettings settings) : settings_(std::move(settings)) {
   info_ = {settings_.sampleRate, 0, kTestSignalFormat, 0};
   if (!settings_.input.empty()) {
      reader_ = std::make_unique<AudioFileReader>(settings_.input);
      info_ = reader_->info();
   }
   format_ = chooseOutputFormat(settings_.output, info_.format, settings_.encoding, &formatNote_);
   if (!settings_.midi.empty()) notes_ = readMidiFile(settings_.midi, info_.sampleRate);
   output_ = std::make_unique<PendingOutput>(settings_.output, settings_.overwrite);
}

FilePipeline::~FilePipeline() = default;

PipelineReport FilePipeline::run(const std::vector<PluginInstance*>& chain,
                                 const PipelineProgress& progress) {
   if (chain.empty()) {
      throw ToolError(ExitCode::usage, "no plug-in to process with", "name at least one plug-in");
   }
   if (settings_.precision == 64) return process<double>(chain, progress);
   return process<float>(chain, progress);
}

template <class Sample>
PipelineReport FilePipeline::process(const std::vector<PluginInstance*>& chain,
                                     const PipelineProgress& progress) {
   PipelineReport report;
   report.outputFormat = format_;
   report.formatNote = formatNote_;

   PluginInstance& first = *chain.front();
   const int inputs = std::max(first.record().numInputs, 0);
   const bool instrument = inputs == 0 || (first.record().flags & effFlagsIsSynth);
   for (size_t s = 0; s < chain.size(); ++s) {
      if (chain[s]->record().numOutputs <= 0) {
         throw ToolError(
             ExitCode::usage,
             (chain.size() == 1 ? std::string("the plug-in") : stageName(s, *chain[s])) +
                 " has no audio outputs",
             "process runs plug-ins that give audio; this one gives none");
      }
   }
   if (instrument && !notes_) {
      throw NeedsNotes(ExitCode::usage,
                       "'" + first.effectName() + "' is an instrument: it plays notes" +
                           (inputs == 0 ? ", it takes no audio" : ""),
                       "give it notes as a Standard MIDI File; the tail renders seconds after "
                       "the last one");
   }
   if (inputs == 0 && reader_) {
      throw ToolError(ExitCode::usage, "the plug-in takes no audio input",
                      "leave out the input file and give notes as a MIDI file");
   }

   // Where the first stage's inputs come from: the file, the test signal (one sine per input),
   // or nothing when notes alone drive it.
   const int fileChannels = reader_ ? info_.channels : notes_ ? 0 : inputs;
   if (!reader_) info_.channels = fileChannels;
   report.input = info_;
   const std::string source = reader_ ? settings_.input : "the test signal";
   std::vector<std::unique_ptr<StreamRenderer<Sample>>> renderers;
   int channels = fileChannels;
   for (size_t s = 0; s < chain.size(); ++s) {
      PluginInstance& p = *chain[s];
      const int stageInputs = std::max(p.record().numInputs, 0);
      StageReport stage;
      stage.sourceChannels = channels;
      if (s == 0) {
         stage.source = source;
         stage.map = settings_.map.empty()
                         ? defaultChannelMap(fileChannels, stageInputs, source)
                         : parseChannelMap(settings_.map, fileChannels, stageInputs, source);
      } else {
         stage.source = stageName(s - 1, *chain[s - 1]);
         stage.map = stageMap(channels, stageInputs, stage.source, stageName(s, p));
      }
      stage.outputs = p.record().numOutputs;
      channels = stage.outputs;
      report.stages.push_back(std::move(stage));
   }

   report.frames = static_cast<size_t>(
       reader_  ? info_.frames
       : notes_ ? notes_->endFrame + std::llround(settings_.tail * info_.sampleRate)
                : std::llround(settings_.seconds * info_.sampleRate));

   for (size_t s = 0; s < chain.size(); ++s) {
      chain[s]->start();
      try {
         renderers.push_back(std::make_unique<StreamRenderer<Sample>>(
             *chain[s], report.stages[s].map, report.stages[s].sourceChannels,
             settings_.blockSize));
      } catch (const NoDoublePrecision&) {
         throw;
      } catch (const ToolError& e) {
         throw ToolError(e.code(),
                         chain.size() == 1 ? std::string(e.what())
                                           : stageName(s, *chain[s]) + ": " + e.what(),
                         e.hint());
      }
   }
   if (notes_) renderers.front()->setSequence(&*notes_);
   const size_t chunk = renderers.front()->chunkFrames();
   std::vector<Sample> in(chunk * static_cast<size_t>(fileChannels));
   TestSignal signal(fileChannels, info_.sampleRate);
   const int outputs = report.stages.back().outputs;
   AudioFileWriter writer(output_->temporaryPath(), info_.sampleRate, outputs, format_,
                          settings_.output);
   const auto started = Clock::now();
   for (size_t done = 0; done < report.frames;) {
      const size_t n = std::min(chunk, report.frames - done);
      if (reader_) {
         reader_->read(in.data(), n);
      } else if (!notes_) {
         signal.fill(in.data(), n);
      }
      const Sample* out = in.data();
      for (auto& r : renderers)
         out = r->process(out, n);
      writer.write(out, n);
      done += n;
      if (progress) progress(done, report.frames);
   }
   for (auto* p : chain)
      p->stop();
   writer.close();
   output_->commit();
   report.wallSeconds = std::chrono::duration<double>(Clock::now() - started).count();
   report.seconds = static_cast<double>(report.frames) / info_.sampleRate;
   for (size_t s = 0; s < chain.size(); ++s) {
      report.stages[s].inputLevels = renderers[s]->inputLevels();
      report.stages[s].outputLevels = renderers[s]->outputLevels();
      report.stages[s].eventsSent = renderers[s]->eventsSent();
   }
   if (isIntegerFormat(format_)) {
      for (const auto& l : report.stages.back().outputLevels)
         report.clipped += l.overs;
   }
   return report;
}

} // namespace plughost
