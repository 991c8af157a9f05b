// SPDX-License-Identifier: MIT
#include "tools/hostlib/session.h"

#include "tools/hostlib/audio_file.h"
#include "tools/hostlib/channel_map.h"
#include "tools/hostlib/file_pipeline.h"

#include <trimwise/host/instance.h>
#include <trimwise/host/plugin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <type_traits>

namespace plughost {
namespace {

using trimwise::host::BadArgument;
using trimwise::host::Instance;
using trimwise::host::InstanceOptions;
using trimwise::host::MidiEvent;
using trimwise::host::Plugin;

// Signals go through the plug-in in chunks of about this many frames (a whole number of
// blocks): the scratch buffers stay in the caches, and Ctrl-C is looked at between chunks.
constexpr size_t kChunkTarget = 8192;

BadArgument outOfRange(const std::string& what, int32_t index, int32_t count) {
   return BadArgument(what + " " + std::to_string(index) + " is out of range: the plug-in has " +
                          std::to_string(count),
                      count == 0 ? "the plug-in has none"
                                 : "give one from 0 to " + std::to_string(count - 1));
}

class LocalSession final : public PluginSession {
public:
   LocalSession(const std::string& path, double sampleRate, int32_t blockSize)
       : rate_(sampleRate), block_(blockSize),
         // The real path, so that a copy of the session (a pickle, a helper) finds the same file.
         plugin_(Plugin::load(
             std::filesystem::weakly_canonical(trimwise::host::findPlugin(path)).string())),
         instance_(newInstance()) {
      Instance& p = instance_;
      info_.path = plugin_.path();
      info_.name = p.name();
      if (info_.name.empty()) info_.name = p.product();
      info_.vendor = p.vendor();
      info_.uniqueId = p.uniqueId();
      info_.inputs = std::max(p.inputs(), 0);
      info_.outputs = std::max(p.outputs(), 0);
      info_.parameters = p.parameterCount();
      info_.programs = p.programCount();
      info_.category = p.category();
      info_.latency = std::max(p.latency(), 0);
      info_.instrument = info_.inputs == 0 || p.isInstrument();
      info_.doublePrecision = p.canProcessDouble();
      info_.chunks = p.hasChunk();
   }

   const SessionInfo& info() const override { return info_; }
   double sampleRate() const override { return rate_; }
   int32_t blockSize() const override { return block_; }

   std::string parameterName(int32_t index) override { return parameter(index).name; }
   std::string parameterLabel(int32_t index) override { return parameter(index).label; }
   std::string parameterDisplay(int32_t index) override { return parameter(index).display; }
   float parameterValue(int32_t index) override { return parameter(index).value; }
   void setParameterValue(int32_t index, float value) override {
      parameter(index);
      if (!(value >= 0.0f && value <= 1.0f)) {
         throw BadArgument("a host value of " + std::to_string(value) + " is out of range",
                           "give a host value from 0 to 1, or a text such as \"-6 dB\"");
      }
      instance_.setValue(index, value);
   }
   void setParameterText(int32_t index, const std::string& text) override {
      parameter(index);
      instance_.set(index, text);
   }
   int32_t findParameter(const std::string& name) override {
      return instance_.parameterIndex(name);
   }

   std::vector<std::string> programNames() override { return instance_.programNames(); }
   int32_t program() override { return instance_.program(); }
   void setProgram(int32_t index) override {
      if (index < 0 || index >= info_.programs) throw outOfRange("program", index, info_.programs);
      instance_.setProgram(index);
   }

   std::vector<unsigned char> saveState() override { return instance_.state(); }
   void loadState(const std::vector<unsigned char>& state) override { instance_.setState(state); }

   size_t outputFrames(const ProcessPlan& plan) override {
      checkPlan(plan);
      const double rate = plan.sampleRate > 0.0 ? plan.sampleRate : rate_;
      size_t frames = plan.frames;
      if (plan.channels == 0) {
         frames = plan.duration >= 0.0
                      ? static_cast<size_t>(std::llround(plan.duration * rate))
                      : static_cast<size_t>(std::max<int64_t>(sequence(plan, rate).endFrame, 0));
      }
      return frames + static_cast<size_t>(std::llround(plan.tail * rate));
   }

   void process(const ProcessPlan& plan, const float* const* in, float* const* out,
                const KeepGoing& keepGoing) override {
      run<float, float>(plan, in, out, keepGoing);
   }
   void process(const ProcessPlan& plan, const double* const* in, double* const* out,
                const KeepGoing& keepGoing) override {
      if (info_.doublePrecision) {
         run<double, double>(plan, in, out, keepGoing);
      } else {
         run<double, float>(plan, in, out, keepGoing);
      }
   }

   FileOutcome processFile(const FileJob& job, const KeepGoing& keepGoing) override {
      return plughost::processFile({this}, job, keepGoing);
   }

   // The instance with the current settings, made anew at `rate` for a file of its own.
   PluginInstance& freshInstance(double rate) {
      const std::vector<unsigned char> state = instance_.state();
      rate_ = rate;
      instance_ = newInstance();
      instance_.setState(state);
      return instance_.raw();
   }

private:
   Instance newInstance() const {
      InstanceOptions options;
      options.sampleRate = rate_;
      options.blockSize = block_;
      return plugin_.instantiate(options);
   }

   trimwise::host::Parameter parameter(int32_t index) {
      if (index < 0 || index >= info_.parameters) {
         throw outOfRange("parameter", index, info_.parameters);
      }
      return instance_.parameter(index);
   }

   static void checkPlan(const ProcessPlan& plan) {
      if (plan.channels < 0 || (plan.channels == 0 && plan.frames > 0)) {
         throw BadArgument("a signal without channels", "give at least one channel");
      }
      if (!(plan.tail >= 0.0) || plan.tail > 3600.0) {
         throw BadArgument("a tail of " + std::to_string(plan.tail) + " s",
                           "give a tail from 0 to 3600 seconds");
      }
      if (plan.channels > 0 && plan.duration >= 0.0) {
         throw BadArgument("a duration given with a signal",
                           "the duration sets the length without a signal; leave it out");
      }
      if (plan.duration > 86400.0) {
         throw BadArgument("a duration of " + std::to_string(plan.duration) + " s",
                           "give a duration of at most a day");
      }
      if (plan.sampleRate < 0.0 || plan.sampleRate > 768000.0 || plan.blockSize < 0 ||
          plan.blockSize > (1 << 20)) {
         throw BadArgument("a sample rate or block size out of range",
                           "give a sample rate up to 768000 Hz and a block size from 1 to 1048576");
      }
   }

   static MidiSequence sequence(const ProcessPlan& plan, double rate) {
      if (plan.midiFile.empty()) return sequenceFromEvents(plan.midi, rate);
      if (!plan.midi.empty()) {
         throw BadArgument("MIDI events given both as a list and as a file", "give one of them");
      }
      return readMidiFile(plan.midiFile, rate);
   }

   // Streams the signal through the instance chunk by chunk: each chunk is copied (and
   // converted to the processing precision) into scratch buffers, so the plug-in never sees the
   // caller's memory, then processed with the events that fall into it; the output is copied
   // out, less the plug-in's latency at the start when it is compensated.
   template <class Sample, class Processed>
   void run(const ProcessPlan& plan, const Sample* const* in, Sample* const* out,
            const KeepGoing& keepGoing) {
      checkPlan(plan);
      const double rate = plan.sampleRate > 0.0 ? plan.sampleRate : rate_;
      const int32_t block = plan.blockSize > 0 ? plan.blockSize : block_;
      if (info_.outputs == 0) {
         throw BadArgument("the plug-in has no audio outputs",
                           "process plug-ins that give audio; this one gives none");
      }
      if (!plan.reset && (rate != rate_ || block != block_)) {
         throw BadArgument("the sample rate or block size changes while a stream goes on",
                           "keep them, or start over with a reset");
      }
      const MidiSequence notes = sequence(plan, rate);
      const size_t frames = outputFrames(plan);
      const ChannelMap map = defaultChannelMap(plan.channels, info_.inputs, "the signal");
      if (plan.reset) {
         // A fresh instance carries the settings over, so no earlier call's tail is heard.
         const std::vector<unsigned char> state = instance_.state();
         rate_ = rate;
         block_ = block;
         instance_ = newInstance();
         instance_.setState(state);
      }
      Instance& p = instance_;
      p.start();
      const auto blockFrames = static_cast<size_t>(block);
      const size_t chunk = blockFrames * std::max<size_t>(1, kChunkTarget / blockFrames);
      const auto channels = static_cast<size_t>(plan.channels);
      const auto outputs = static_cast<size_t>(info_.outputs);
      // One scratch channel per signal channel and one of silence; inputs point into them.
      std::vector<Processed> scratchIn((channels + 1) * chunk, Processed(0));
      std::vector<Processed> scratchOut(outputs * chunk);
      std::vector<const Processed*> inputs(static_cast<size_t>(info_.inputs));
      std::vector<Processed*> outputPointers(outputs);
      for (size_t i = 0; i < inputs.size(); ++i) {
         const auto& terms = map.inputs[i];
         const size_t source = terms.empty() ? channels : static_cast<size_t>(terms[0]);
         inputs[i] = scratchIn.data() + source * chunk;
      }
      for (size_t c = 0; c < outputs; ++c)
         outputPointers[c] = scratchOut.data() + c * chunk;
      std::vector<Sample*> direct(outputs);
      std::vector<MidiEvent> events;
      events.reserve(notes.events.size());
      size_t nextEvent = 0, nextTempo = 0;
      const size_t latency = plan.compensateLatency ? static_cast<size_t>(info_.latency) : 0;
      const size_t total = frames + latency;
      for (size_t done = 0; done < total;) {
         size_t n = std::min(chunk, total - done);
         // A tempo change starts a chunk of its own, so that the time information is right.
         while (nextTempo < notes.tempos.size() &&
                static_cast<size_t>(notes.tempos[nextTempo].frame) <= done) {
            p.setTempo(notes.tempos[nextTempo++].bpm);
         }
         if (nextTempo < notes.tempos.size()) {
            n = std::min(n, static_cast<size_t>(notes.tempos[nextTempo].frame) - done);
         }
         if (done < latency) n = std::min(n, latency - done);
         const size_t fromSignal = done < plan.frames ? std::min(n, plan.frames - done) : 0;
         for (size_t c = 0; c < channels; ++c) {
            Processed* to = scratchIn.data() + c * chunk;
            std::copy_n(in[c] + done, fromSignal, to);
            std::fill(to + fromSignal, to + n, Processed(0));
         }
         events.clear();
         for (; nextEvent < notes.events.size() &&
                static_cast<size_t>(notes.events[nextEvent].frame) < done + n;
              ++nextEvent) {
            const MidiEventAt& e = notes.events[nextEvent];
            MidiEvent m;
            m.frame = std::max<int64_t>(e.frame - static_cast<int64_t>(done), 0);
            std::copy_n(e.bytes, std::min(e.size, 3), m.data);
            events.push_back(m);
         }
         if constexpr (std::is_same_v<Sample, Processed>) {
            // Past the latency the plug-in writes straight into the caller's output.
            if (done >= latency) {
               for (size_t c = 0; c < outputs; ++c)
                  direct[c] = out[c] + (done - latency);
               p.process(inputs.data(), direct.data(), n, events);
               done += n;
               if (keepGoing && done < total) keepGoing();
               continue;
            }
         }
         p.process(inputs.data(), outputPointers.data(), n, events);
         const size_t skip = done < latency ? std::min(n, latency - done) : 0;
         for (size_t c = 0; c < outputs && skip < n; ++c) {
            std::copy(outputPointers[c] + skip, outputPointers[c] + n,
                      out[c] + (done + skip - latency));
         }
         done += n;
         if (keepGoing && done < total) keepGoing();
      }
   }

   double rate_;
   int32_t block_;
   Plugin plugin_;
   Instance instance_;
   SessionInfo info_;
};

} // namespace

FileOutcome processFile(const std::vector<PluginSession*>& chain, const FileJob& job,
                        const KeepGoing& keepGoing) {
   if (chain.empty()) throw BadArgument("a chain without plug-ins", "give at least one");
   std::vector<LocalSession*> local;
   for (PluginSession* session : chain)
      local.push_back(dynamic_cast<LocalSession*>(session));
   if (std::find(local.begin(), local.end(), nullptr) != local.end()) {
      if (chain.size() == 1) return chain[0]->processFile(job, keepGoing);
      throw BadArgument("a chain of several plug-ins runs in this process only",
                        "load the plug-ins of a chain without isolation, or process a file "
                        "through each isolated plug-in in turn");
   }
   PipelineSettings settings;
   settings.input = job.input;
   settings.output = job.output;
   settings.overwrite = job.overwrite;
   settings.encoding = job.encoding;
   settings.midi = job.midi;
   settings.tail = job.tail;
   settings.blockSize = job.blockSize > 0 ? job.blockSize : chain[0]->blockSize();
   settings.precision = job.precision;
   FilePipeline pipeline(settings);
   std::vector<PluginInstance*> instances;
   for (LocalSession* session : local)
      instances.push_back(&session->freshInstance(pipeline.input().sampleRate));
   const PipelineReport report = pipeline.run(instances, [&](size_t done, size_t total) {
      if (keepGoing && done < total) keepGoing();
   });
   FileOutcome result;
   result.frames = report.frames;
   result.sampleRate = pipeline.input().sampleRate;
   result.inputChannels = pipeline.input().channels;
   result.outputChannels = report.stages.empty() ? 0 : report.stages.back().outputs;
   result.outputFormat = describeFormat(report.outputFormat);
   result.formatNote = report.formatNote;
   result.clipped = report.clipped;
   return result;
}

std::unique_ptr<PluginSession> openSession(const std::string& path, double sampleRate,
                                           int32_t blockSize) {
   return std::make_unique<LocalSession>(path, sampleRate, blockSize);
}

MidiSequence sequenceFromEvents(const std::vector<TimedMidi>& events, double sampleRate) {
   MidiSequence seq;
   seq.tempos.push_back({0, 0.0, 120.0, 4, 4});
   double last = 0.0;
   for (size_t i = 0; i < events.size(); ++i) {
      const TimedMidi& e = events[i];
      const std::string which = "MIDI event " + std::to_string(i);
      if (!(e.seconds >= 0.0) || !std::isfinite(e.seconds)) {
         throw BadArgument(which + " is at " + std::to_string(e.seconds) + " s",
                           "give times of 0 seconds or later");
      }
      if (e.seconds < last) {
         throw BadArgument(which + " at " + std::to_string(e.seconds) +
                               " s comes before the one before it at " + std::to_string(last) +
                               " s",
                           "give the events in order of time");
      }
      if (e.bytes.empty() || e.bytes.size() > 3) {
         throw BadArgument(
             which + " has " + std::to_string(e.bytes.size()) + " bytes",
             "give a short MIDI message of one to three bytes, e.g. b\"\\x90\\x3c\\x64\"");
      }
      last = e.seconds;
      MidiEventAt at{
          std::llround(e.seconds * sampleRate), {0, 0, 0}, static_cast<int>(e.bytes.size())};
      std::memcpy(at.bytes, e.bytes.data(), e.bytes.size());
      seq.events.push_back(at);
      seq.endFrame = std::max(seq.endFrame, at.frame);
   }
   return seq;
}

} // namespace plughost
