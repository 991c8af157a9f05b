// SPDX-License-Identifier: MIT
#include "tools/hostlib/session.h"

#include "tools/hostlib/channel_map.h"
#include "tools/hostlib/param_assignment.h"
#include "tools/hostlib/plugin_instance.h"
#include "tools/hostlib/plugin_module.h"
#include "tools/hostlib/plugin_search.h"
#include "tools/hostlib/render.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <type_traits>

namespace plughost {
namespace {

// The state's header: a tag, the plug-in's unique ID (a state of another plug-in is refused),
// what follows (every parameter or the plug-in's chunk), the program and the payload's size.
constexpr char kStateTag[4] = {'P', 'H', 'S', 'T'};
enum StateKind : unsigned char { kParameterState = 0, kChunkState = 1 };
struct StateHeader {
   char tag[4];
   int32_t uniqueId;
   int32_t program;
   uint32_t size;
   unsigned char kind;
};
constexpr size_t kHeaderSize = 4 + 4 + 4 + 4 + 1;

ToolError badState(const std::string& why) {
   return ToolError(ExitCode::usage, "the state is refused: " + why,
                    "restore a state saved from this plug-in");
}

bool isDecibelLabel(std::string label) {
   label.erase(0, label.find_first_not_of(' '));
   label.erase(label.find_last_not_of(' ') + 1);
   return label.size() == 2 && (label[0] == 'd' || label[0] == 'D') &&
          (label[1] == 'b' || label[1] == 'B');
}

class LocalSession final : public PluginSession {
public:
   LocalSession(const std::string& path, double sampleRate, int32_t blockSize)
       : rate_(sampleRate), block_(blockSize) {
      if (!(sampleRate > 0.0) || sampleRate > 768000.0) {
         throw ToolError(ExitCode::usage,
                         "sample rate " + std::to_string(sampleRate) + " Hz is out of range",
                         "give a sample rate from 1 to 768000 Hz");
      }
      checkBlockSize(blockSize);
      // The real path, so that a copy of the session (a pickle, a helper) finds the same file.
      module_ = PluginModule::load(std::filesystem::weakly_canonical(findPlugin(path)).string());
      instance_ = newInstance();
      PluginInstance& p = *instance_;
      const AEffect& r = p.record();
      info_.path = module_->path();
      info_.name = p.effectName();
      if (info_.name.empty()) info_.name = p.productString();
      info_.vendor = p.vendorString();
      info_.uniqueId = r.uniqueID;
      info_.inputs = std::max(r.numInputs, 0);
      info_.outputs = std::max(r.numOutputs, 0);
      info_.parameters = std::max(r.numParams, 0);
      info_.programs = std::max(r.numPrograms, 0);
      info_.category = static_cast<int32_t>(p.dispatch(effGetPlugCategory));
      info_.latency = std::max(r.initialDelay, 0);
      info_.instrument = info_.inputs == 0 || (r.flags & effFlagsIsSynth);
      info_.doublePrecision = p.canProcessDouble();
      info_.chunks = (r.flags & effFlagsProgramChunks) != 0;
   }

   const SessionInfo& info() const override { return info_; }
   double sampleRate() const override { return rate_; }
   int32_t blockSize() const override { return block_; }

   std::string parameterName(int32_t index) override {
      return instance_->parameterName(checked(index));
   }
   std::string parameterLabel(int32_t index) override {
      return instance_->parameterLabel(checked(index));
   }
   std::string parameterDisplay(int32_t index) override {
      return instance_->parameterDisplay(checked(index));
   }
   float parameterValue(int32_t index) override { return instance_->getParameter(checked(index)); }
   void setParameterValue(int32_t index, float value) override {
      if (!(value >= 0.0f && value <= 1.0f)) {
         throw ToolError(ExitCode::usage, "value " + std::to_string(value) + " is out of range",
                         "give a host value from 0 to 1, or a text such as \"-6 dB\"");
      }
      instance_->setParameter(checked(index), value);
   }

   // As `--param` does: a level in dB becomes the host value whose display shows it.
   void setParameterText(int32_t index, const std::string& text) override {
      checked(index);
      const ParamAssignment a = parseAssignment(std::to_string(index) + "=" + text, names());
      float value = a.value;
      if (a.decibels) {
         const std::string name = instance_->parameterName(index);
         const std::string label = instance_->parameterLabel(index);
         if (!isDecibelLabel(label)) {
            throw ToolError(ExitCode::usage,
                            "'" + name + "' is not shown in dB (its label is '" + label + "')",
                            "give its host value from 0 to 1, e.g. \"0.5\"");
         }
         value = hostValueForLevel(a.level, text, name, [&](float v) {
            instance_->setParameter(index, v);
            return instance_->parameterDisplay(index);
         });
      }
      instance_->setParameter(index, value);
   }

   int32_t findParameter(const std::string& name) override {
      if (name.find('=') != std::string::npos) {
         throw ToolError(ExitCode::usage, "no parameter is named '" + name + "'",
                         "name a parameter as the plug-in does");
      }
      return parseAssignment(name + "=0", names()).index;
   }

   std::vector<std::string> programNames() override {
      std::vector<std::string> list;
      for (int32_t i = 0; i < info_.programs; ++i)
         list.push_back(instance_->readText(effGetProgramNameIndexed, i).text);
      // Plug-ins that cannot name a program they are not on name the current one.
      if (info_.programs == 1 && list[0].empty()) list[0] = instance_->programName();
      return list;
   }
   int32_t program() override { return static_cast<int32_t>(instance_->dispatch(effGetProgram)); }
   void setProgram(int32_t index) override {
      if (index < 0 || index >= info_.programs) {
         throw ToolError(ExitCode::usage,
                         "program " + std::to_string(index) + " is out of range: the plug-in has " +
                             std::to_string(info_.programs),
                         "give a program from 0 to " + std::to_string(info_.programs - 1));
      }
      instance_->dispatch(effBeginSetProgram);
      instance_->dispatch(effSetProgram, 0, index);
      instance_->dispatch(effEndSetProgram);
   }

   std::vector<unsigned char> saveState() override { return saveStateOf(*instance_); }
   void loadState(const std::vector<unsigned char>& state) override {
      loadStateInto(*instance_, state);
   }

   size_t outputFrames(const ProcessSpec& spec) override {
      const double rate = spec.sampleRate > 0.0 ? spec.sampleRate : rate_;
      checkSpec(spec);
      size_t frames = spec.frames;
      if (spec.channels == 0) {
         if (spec.duration >= 0.0) {
            frames = static_cast<size_t>(std::llround(spec.duration * rate));
         } else {
            frames = static_cast<size_t>(std::max<int64_t>(sequence(spec, rate).endFrame, 0));
         }
      }
      return frames + static_cast<size_t>(std::llround(spec.tail * rate));
   }

   void process(const ProcessSpec& spec, const float* const* in, float* const* out,
                const KeepGoing& keepGoing) override {
      run<float, float>(spec, in, out, keepGoing);
   }
   void process(const ProcessSpec& spec, const double* const* in, double* const* out,
                const KeepGoing& keepGoing) override {
      if (info_.doublePrecision) {
         run<double, double>(spec, in, out, keepGoing);
      } else {
         run<double, float>(spec, in, out, keepGoing);
      }
   }

private:
   static void checkBlockSize(int32_t blockSize) {
      if (blockSize < 1 || blockSize > (1 << 20)) {
         throw ToolError(ExitCode::usage,
                         "block size " + std::to_string(blockSize) + " is out of range",
                         "give a block size from 1 to 1048576 frames");
      }
   }

   std::unique_ptr<PluginInstance> newInstance() {
      HostSettings settings;
      settings.sampleRate = static_cast<float>(rate_);
      settings.blockSize = block_;
      settings.logRequests = false;
      return std::make_unique<PluginInstance>(module_, settings);
   }

   int32_t checked(int32_t index) const {
      if (index < 0 || index >= info_.parameters) {
         throw ToolError(ExitCode::usage,
                         "parameter " + std::to_string(index) +
                             " is out of range: the plug-in has " +
                             std::to_string(info_.parameters),
                         info_.parameters == 0
                             ? "the plug-in has no parameters"
                             : "give an index from 0 to " + std::to_string(info_.parameters - 1));
      }
      return index;
   }

   std::vector<std::string> names() {
      std::vector<std::string> list;
      for (int32_t i = 0; i < info_.parameters; ++i)
         list.push_back(instance_->parameterName(i));
      return list;
   }

   std::vector<unsigned char> saveStateOf(PluginInstance& p) {
      StateHeader h{};
      std::memcpy(h.tag, kStateTag, 4);
      h.uniqueId = info_.uniqueId;
      h.program = static_cast<int32_t>(p.dispatch(effGetProgram));
      const unsigned char* data = nullptr;
      std::vector<float> values;
      if (info_.chunks) {
         void* chunk = nullptr;
         const intptr_t size = p.dispatch(effGetChunk, 0, 0, &chunk);
         if (size <= 0 || !chunk || size > INT32_MAX) {
            throw ToolError(ExitCode::plugin, "'" + info_.name + "' gave no state to save",
                            "the plug-in keeps its state in a chunk but returned none");
         }
         h.kind = kChunkState;
         h.size = static_cast<uint32_t>(size);
         data = static_cast<const unsigned char*>(chunk);
      } else {
         h.kind = kParameterState;
         for (int32_t i = 0; i < info_.parameters; ++i)
            values.push_back(p.getParameter(i));
         h.size = static_cast<uint32_t>(values.size() * sizeof(float));
         data = reinterpret_cast<const unsigned char*>(values.data());
      }
      std::vector<unsigned char> state(kHeaderSize + h.size);
      std::memcpy(state.data(), h.tag, 4);
      std::memcpy(state.data() + 4, &h.uniqueId, 4);
      std::memcpy(state.data() + 8, &h.program, 4);
      std::memcpy(state.data() + 12, &h.size, 4);
      state[16] = h.kind;
      if (h.size) std::memcpy(state.data() + kHeaderSize, data, h.size);
      return state;
   }

   void loadStateInto(PluginInstance& p, const std::vector<unsigned char>& state) {
      StateHeader h{};
      if (state.size() < kHeaderSize || std::memcmp(state.data(), kStateTag, 4) != 0) {
         throw badState("it is not a state the host library saved");
      }
      std::memcpy(&h.uniqueId, state.data() + 4, 4);
      std::memcpy(&h.program, state.data() + 8, 4);
      std::memcpy(&h.size, state.data() + 12, 4);
      h.kind = state[16];
      if (state.size() - kHeaderSize != h.size) throw badState("its length is wrong");
      if (h.uniqueId != info_.uniqueId) throw badState("it was saved from another plug-in");
      if (h.kind != (info_.chunks ? kChunkState : kParameterState)) {
         throw badState(info_.chunks ? "the plug-in keeps a chunk, the state holds parameters"
                                     : "the plug-in keeps parameters, the state holds a chunk");
      }
      const unsigned char* payload = state.data() + kHeaderSize;
      if (h.kind == kParameterState && h.size != info_.parameters * sizeof(float)) {
         throw badState("it holds " + std::to_string(h.size / sizeof(float)) +
                        " parameters, the plug-in has " + std::to_string(info_.parameters));
      }
      if (h.program >= 0 && h.program < info_.programs) {
         p.dispatch(effBeginSetProgram);
         p.dispatch(effSetProgram, 0, h.program);
         p.dispatch(effEndSetProgram);
      }
      if (h.kind == kChunkState) {
         // The plug-in reads the chunk during the call; it gets a copy it may not keep.
         std::vector<unsigned char> chunk(payload, payload + h.size);
         p.dispatch(effSetChunk, 0, static_cast<intptr_t>(chunk.size()), chunk.data());
      } else {
         for (int32_t i = 0; i < info_.parameters; ++i) {
            float v;
            std::memcpy(&v, payload + static_cast<size_t>(i) * sizeof(float), sizeof v);
            p.setParameter(i, v);
         }
      }
   }

   void checkSpec(const ProcessSpec& spec) const {
      if (spec.channels < 0 || (spec.channels == 0 && spec.frames > 0)) {
         throw ToolError(ExitCode::usage, "a signal without channels", "give at least one channel");
      }
      if (!(spec.tail >= 0.0) || spec.tail > 3600.0) {
         throw ToolError(ExitCode::usage, "a tail of " + std::to_string(spec.tail) + " s",
                         "give a tail from 0 to 3600 seconds");
      }
      if (spec.channels > 0 && spec.duration >= 0.0) {
         throw ToolError(ExitCode::usage, "a duration given with a signal",
                         "the duration sets the length without a signal; leave it out");
      }
      if (spec.duration > 86400.0) {
         throw ToolError(ExitCode::usage, "a duration of " + std::to_string(spec.duration) + " s",
                         "give a duration of at most a day");
      }
      if (spec.sampleRate < 0.0 || spec.sampleRate > 768000.0 || spec.blockSize < 0) {
         throw ToolError(ExitCode::usage, "a sample rate or block size out of range",
                         "give a sample rate from 1 to 768000 Hz and a block size of at least 1");
      }
      if (spec.blockSize > 0) checkBlockSize(spec.blockSize);
   }

   static MidiSequence sequence(const ProcessSpec& spec, double rate) {
      if (!spec.midiFile.empty()) {
         if (!spec.midi.empty()) {
            throw ToolError(ExitCode::usage, "MIDI events given both as a list and as a file",
                            "give one of them");
         }
         return readMidiFile(spec.midiFile, rate);
      }
      return sequenceFromEvents(spec.midi, rate);
   }

   template <class Sample, class Processed>
   void run(const ProcessSpec& spec, const Sample* const* in, Sample* const* out,
            const KeepGoing& keepGoing) {
      checkSpec(spec);
      const double rate = spec.sampleRate > 0.0 ? spec.sampleRate : rate_;
      const int32_t block = spec.blockSize > 0 ? spec.blockSize : block_;
      if (info_.outputs == 0) {
         throw ToolError(ExitCode::usage, "the plug-in has no audio outputs",
                         "process runs plug-ins that give audio; this one gives none");
      }
      if (!spec.reset && (rate != rate_ || block != block_)) {
         throw ToolError(ExitCode::usage,
                         "the sample rate or block size changes while the "
                         "stream goes on (reset=False)",
                         "keep them, or start over with reset=True");
      }
      const MidiSequence notes = sequence(spec, rate);
      const size_t frames = outputFrames(spec);
      const ChannelMap map = defaultChannelMap(spec.channels, info_.inputs, "the signal");
      if (spec.reset) {
         // A fresh instance carries the settings over, so no earlier call's tail is heard.
         const std::vector<unsigned char> state = saveStateOf(*instance_);
         rate_ = rate;
         block_ = block;
         instance_.reset();
         instance_ = newInstance();
         loadStateInto(*instance_, state);
      }
      PluginInstance& p = *instance_;
      if (!p.running()) p.start();
      StreamRenderer<Processed> renderer(p, map, spec.channels, block);
      if (!notes.events.empty() || notes.tempos.size() > 1) renderer.setSequence(&notes);
      // The first `latency` frames out are the plug-in's delay: rendered, not kept.
      const size_t latency =
          spec.compensateLatency ? static_cast<size_t>(std::max(p.record().initialDelay, 0)) : 0;
      const size_t total = frames + latency;
      const size_t chunk = renderer.chunkFrames();
      const auto channels = static_cast<size_t>(spec.channels);
      const auto outputs = static_cast<size_t>(info_.outputs);
      std::vector<Processed> interleaved(chunk * channels);
      for (size_t done = 0; done < total;) {
         const size_t n = std::min(chunk, total - done);
         const size_t fromSignal = done < spec.frames ? std::min(n, spec.frames - done) : 0;
         for (size_t c = 0; c < channels; ++c) {
            const Sample* from = in[c] + done;
            for (size_t f = 0; f < fromSignal; ++f)
               interleaved[f * channels + c] = static_cast<Processed>(from[f]);
         }
         std::fill(interleaved.begin() + static_cast<ptrdiff_t>(fromSignal * channels),
                   interleaved.begin() + static_cast<ptrdiff_t>(n * channels), Processed(0));
         const Processed* o = renderer.process(interleaved.data(), n);
         const size_t skip = done < latency ? std::min(n, latency - done) : 0;
         const size_t at = done + skip - latency; // meaningful only when skip < n
         for (size_t c = 0; c < outputs && skip < n; ++c) {
            Sample* to = out[c] + at;
            for (size_t f = skip; f < n; ++f)
               to[f - skip] = static_cast<Sample>(o[f * outputs + c]);
         }
         done += n;
         if (keepGoing && done < total) keepGoing();
      }
   }

   double rate_;
   int32_t block_;
   std::shared_ptr<PluginModule> module_;
   std::unique_ptr<PluginInstance> instance_;
   SessionInfo info_;
};

} // namespace

std::shared_ptr<void> PluginSession::outputMemory(size_t bytes) {
   return std::shared_ptr<void>(::operator new(std::max<size_t>(bytes, 1)),
                                [](void* p) { ::operator delete(p); });
}

std::unique_ptr<PluginSession> openSession(const std::string& path, double sampleRate,
                                           int32_t blockSize) {
   return std::make_unique<LocalSession>(path, sampleRate, blockSize);
}

MidiSequence sequenceFromEvents(const std::vector<TimedMidi>& events, double sampleRate) {
   MidiSequence seq;
   seq.tempos.push_back({0, 0.0, kDefaultTempo, 4, 4});
   double last = 0.0;
   for (size_t i = 0; i < events.size(); ++i) {
      const TimedMidi& e = events[i];
      const std::string which = "MIDI event " + std::to_string(i);
      if (!(e.seconds >= 0.0) || !std::isfinite(e.seconds)) {
         throw ToolError(ExitCode::usage, which + " is at " + std::to_string(e.seconds) + " s",
                         "give times of 0 seconds or later");
      }
      if (e.seconds < last) {
         throw ToolError(ExitCode::usage,
                         which + " at " + std::to_string(e.seconds) +
                             " s comes before the one before it at " + std::to_string(last) + " s",
                         "give the events in order of time");
      }
      if (e.bytes.empty() || e.bytes.size() > 3) {
         throw ToolError(
             ExitCode::usage, which + " has " + std::to_string(e.bytes.size()) + " bytes",
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
