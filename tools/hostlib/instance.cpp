// SPDX-License-Identifier: MIT
#include <trimwise/host/instance.h>

#include "tools/hostlib/param_assignment.h"
#include "tools/hostlib/plugin_instance.h"
#include "tools/hostlib/typed_error.h"

#include <trimwise/host/raw/instance.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <type_traits>

namespace trimwise::host {
namespace {

// The state of a plug-in without a chunk: this tag, the current program and the number of
// parameters (32-bit each), then every parameter's host value as a 32-bit float, all in the
// machine's byte order.
constexpr unsigned char kParameterStateTag[4] = {'T', 'W', 'P', 'S'};

template <class T>
void append(std::vector<unsigned char>& bytes, const T& value) {
   const auto* p = reinterpret_cast<const unsigned char*>(&value);
   bytes.insert(bytes.end(), p, p + sizeof value);
}

template <class T>
T readAt(std::span<const unsigned char> bytes, size_t at) {
   T value;
   std::memcpy(&value, bytes.data() + at, sizeof value);
   return value;
}

BadArgument outOfRange(const char* what, int32_t index, int32_t count) {
   return BadArgument(std::string(what) + " " + std::to_string(index) + " does not exist",
                      "the plug-in has " + std::to_string(count) + " " + what +
                          "s, numbered from 0");
}

} // namespace

// The host's buffers for one process() call at a time: the channel pointers moved on block by
// block, and the events of one block as the plug-in receives them.
struct Instance::Buffers {
   std::vector<float*> in32, out32;
   std::vector<double*> in64, out64;
   std::vector<VstMidiEvent> midi;
   std::vector<unsigned char> list; // a VstEvents record with room for every event's pointer

   template <class Sample>
   std::vector<Sample*>& pointers(bool in) {
      if constexpr (std::is_same_v<Sample, float>) {
         return in ? in32 : out32;
      } else {
         return in ? in64 : out64;
      }
   }

   // Hands the events of one block to the plug-in, each at its offset from `blockStart`.
   void send(raw::PluginInstance& p, std::span<const MidiEvent> events, size_t blockStart) {
      auto* record = reinterpret_cast<VstEvents*>(list.data());
      record->numEvents = static_cast<int32_t>(events.size());
      record->reserved = 0;
      for (size_t i = 0; i < events.size(); ++i) {
         VstMidiEvent& m = midi[i];
         m = VstMidiEvent{};
         m.type = kVstMidiType;
         m.byteSize = static_cast<int32_t>(sizeof(VstMidiEvent));
         m.deltaFrames = static_cast<int32_t>(static_cast<size_t>(events[i].frame) - blockStart);
         for (size_t k = 0; k < 3; ++k)
            m.midiData[k] = static_cast<char>(events[i].data[k]);
         // The record declares two pointers; the rest follow in the room made for them.
         VstEvent* pointer = reinterpret_cast<VstEvent*>(&m);
         std::memcpy(list.data() + offsetof(VstEvents, events) + i * sizeof pointer, &pointer,
                     sizeof pointer);
      }
      p.sendEvents(*record);
   }
};

Instance::Instance(std::unique_ptr<raw::PluginInstance> raw)
    : raw_(std::move(raw)), buffers_(std::make_unique<Buffers>()) {}
Instance::~Instance() = default;
Instance::Instance(Instance&&) noexcept = default;
Instance& Instance::operator=(Instance&&) noexcept = default;

const std::string& Instance::path() const {
   return raw_->module().path();
}
std::string Instance::name() {
   return raw_->effectName();
}
std::string Instance::vendor() {
   return raw_->vendorString();
}
std::string Instance::product() {
   return raw_->productString();
}
int32_t Instance::vendorVersion() {
   return static_cast<int32_t>(raw_->dispatch(effGetVendorVersion));
}
int32_t Instance::uniqueId() const {
   return raw_->record().uniqueID;
}
int32_t Instance::category() {
   return static_cast<int32_t>(raw_->dispatch(effGetPlugCategory));
}
int32_t Instance::flags() const {
   return raw_->record().flags;
}
bool Instance::isInstrument() {
   return (flags() & effFlagsIsSynth) != 0 || category() == kPlugCategSynth;
}
int32_t Instance::inputs() const {
   return raw_->record().numInputs;
}
int32_t Instance::outputs() const {
   return raw_->record().numOutputs;
}

// ---- Parameters

int32_t Instance::parameterCount() const {
   return raw_->record().numParams;
}

Parameter Instance::parameter(int32_t index) {
   if (index < 0 || index >= parameterCount())
      throw outOfRange("parameter", index, parameterCount());
   return {index,
           raw_->parameterName(index),
           raw_->parameterLabel(index),
           raw_->parameterDisplay(index),
           raw_->getParameter(index),
           raw_->dispatch(effCanBeAutomated, index) != 0};
}

std::vector<Parameter> Instance::parameters() {
   std::vector<Parameter> all;
   for (int32_t i = 0; i < parameterCount(); ++i)
      all.push_back(parameter(i));
   return all;
}

int32_t Instance::parameterIndex(const std::string& nameOrIndex) {
   std::vector<std::string> names;
   for (int32_t i = 0; i < parameterCount(); ++i)
      names.push_back(raw_->parameterName(i));
   // The value is only there to make an assignment of it; its parameter is what is looked up.
   return typedErrors([&] { return plughost::parseAssignment(nameOrIndex + "=0", names).index; });
}

float Instance::value(int32_t index) {
   return raw_->getParameter(index);
}

void Instance::setValue(int32_t index, float value) {
   raw_->setParameter(index, value);
}

Parameter Instance::set(int32_t index, const std::string& text) {
   if (index < 0 || index >= parameterCount())
      throw outOfRange("parameter", index, parameterCount());
   return set(std::to_string(index) + "=" + text);
}

Parameter Instance::set(const std::string& assignment) {
   return parameter(typedErrors([&] { return plughost::applyAssignment(*raw_, assignment); }));
}

// ---- Programs

int32_t Instance::programCount() const {
   return raw_->record().numPrograms;
}

int32_t Instance::program() {
   return static_cast<int32_t>(raw_->dispatch(effGetProgram));
}

void Instance::setProgram(int32_t index) {
   if (index < 0 || index >= programCount()) throw outOfRange("program", index, programCount());
   raw_->dispatch(effBeginSetProgram);
   raw_->dispatch(effSetProgram, 0, index);
   raw_->dispatch(effEndSetProgram);
}

std::string Instance::programName() {
   return raw_->programName();
}

std::vector<std::string> Instance::programNames() {
   std::vector<std::string> names;
   for (int32_t i = 0; i < programCount(); ++i) {
      const raw::TextAnswer answer = raw_->readText(effGetProgramNameIndexed, i);
      if (answer.result != 0) {
         names.push_back(answer.text);
         continue;
      }
      // A plug-in that does not name programs by index is asked for each one in turn.
      const int32_t current = program();
      raw_->dispatch(effSetProgram, 0, i);
      names.push_back(raw_->programName());
      raw_->dispatch(effSetProgram, 0, current);
   }
   return names;
}

// ---- State

bool Instance::hasChunk() const {
   return (flags() & effFlagsProgramChunks) != 0;
}

std::vector<unsigned char> Instance::state() {
   if (hasChunk()) {
      void* data = nullptr;
      const intptr_t size = raw_->dispatch(effGetChunk, 0, 0, &data);
      if (size > 0 && data) {
         const auto* bytes = static_cast<const unsigned char*>(data);
         return {bytes, bytes + size};
      }
      // A plug-in that flags a chunk and gives none is saved by its parameters.
   }
   std::vector<unsigned char> bytes(std::begin(kParameterStateTag), std::end(kParameterStateTag));
   append(bytes, program());
   append(bytes, parameterCount());
   for (int32_t i = 0; i < parameterCount(); ++i)
      append(bytes, raw_->getParameter(i));
   return bytes;
}

void Instance::setState(std::span<const unsigned char> bytes) {
   constexpr size_t kHead = sizeof kParameterStateTag + 2 * sizeof(int32_t);
   const bool tagged =
       bytes.size() >= kHead &&
       std::equal(std::begin(kParameterStateTag), std::end(kParameterStateTag), bytes.begin());
   if (tagged) {
      const auto program = readAt<int32_t>(bytes, 4);
      const auto count = readAt<int32_t>(bytes, 8);
      if (count == parameterCount() && program >= 0 &&
          (program < programCount() || programCount() == 0) &&
          bytes.size() == kHead + static_cast<size_t>(count) * sizeof(float)) {
         if (programCount() > 0) setProgram(program);
         for (int32_t i = 0; i < count; ++i)
            raw_->setParameter(i, readAt<float>(bytes, kHead + static_cast<size_t>(i) * 4));
         return;
      }
   } else if (hasChunk() && !bytes.empty()) {
      // The plug-in reads the chunk during the call; it is not kept. Zero bytes follow the
      // chunk: some plug-ins save text without its terminating NUL and read it back with strlen
      // (amsynth does), which would run past a buffer of exactly the chunk's size.
      constexpr size_t kZeroPadding = 16;
      std::vector<unsigned char> chunk(bytes.size() + kZeroPadding, 0);
      std::copy(bytes.begin(), bytes.end(), chunk.begin());
      raw_->dispatch(effSetChunk, 0, static_cast<intptr_t>(bytes.size()), chunk.data());
      return;
   }
   throw BadArgument("the " + std::to_string(bytes.size()) + " bytes given hold no state of '" +
                         raw_->module().path() + "'",
                     "restore what state() of an instance of the same plug-in returned");
}

// ---- Processing

double Instance::sampleRate() const {
   return raw_->settings().sampleRate;
}

int32_t Instance::blockSize() const {
   return raw_->settings().blockSize;
}

void Instance::setSampleRate(double rate) {
   if (!(rate > 0.0)) {
      throw BadArgument("a sample rate of " + std::to_string(rate) + " cannot be processed",
                        "give a sample rate above 0");
   }
   raw_->dispatch(effSetSampleRate, 0, 0, nullptr, static_cast<float>(rate));
}

void Instance::setBlockSize(int32_t frames) {
   if (frames < 1) {
      throw BadArgument("a block size of " + std::to_string(frames) + " cannot be processed",
                        "give a block size of at least 1 frame");
   }
   raw_->dispatch(effSetBlockSize, 0, frames);
}

bool Instance::canProcessDouble() const {
   return raw_->canProcessDouble();
}

void Instance::start() {
   if (!raw_->running()) raw_->start();
}

void Instance::stop() {
   if (raw_->running()) raw_->stop();
}

bool Instance::running() const {
   return raw_->running();
}

void Instance::process(const float* const* inputs, float* const* outputs, size_t frames,
                       std::span<const MidiEvent> events) {
   processBlocks(inputs, outputs, frames, events);
}

void Instance::process(const double* const* inputs, double* const* outputs, size_t frames,
                       std::span<const MidiEvent> events) {
   if (!canProcessDouble()) {
      throw BadArgument("'" + path() + "' does not process 64-bit samples",
                        "process 32-bit samples with it");
   }
   processBlocks(inputs, outputs, frames, events);
}

template <class Sample>
void Instance::processBlocks(const Sample* const* inputs, Sample* const* outputs, size_t frames,
                             std::span<const MidiEvent> events) {
   for (size_t i = 0; i < events.size(); ++i) {
      const int64_t frame = events[i].frame;
      if (frame < 0 || static_cast<uint64_t>(frame) >= frames ||
          (i > 0 && frame < events[i - 1].frame)) {
         throw BadArgument("MIDI event " + std::to_string(i) + " at frame " +
                               std::to_string(frame) + " is out of order or outside the " +
                               std::to_string(frames) + " frames processed",
                           "sort the events by frame, each from 0 to one before the last frame");
      }
   }
   Buffers& b = *buffers_;
   auto& in = b.pointers<Sample>(true);
   auto& out = b.pointers<Sample>(false);
   // Sized anew only when the plug-in's channel counts or the number of events grow.
   in.resize(static_cast<size_t>(std::max(this->inputs(), 0)));
   out.resize(static_cast<size_t>(std::max(this->outputs(), 0)));
   if (b.midi.size() < events.size()) {
      b.midi.resize(events.size());
      b.list.resize(std::max(sizeof(VstEvents),
                             offsetof(VstEvents, events) + events.size() * sizeof(VstEvent*)));
   }
   start();
   const auto block = static_cast<size_t>(blockSize());
   size_t next = 0;
   for (size_t done = 0; done < frames;) {
      const size_t n = std::min(block, frames - done);
      size_t end = next;
      while (end < events.size() && static_cast<size_t>(events[end].frame) < done + n)
         ++end;
      if (end > next) b.send(*raw_, events.subspan(next, end - next), done);
      next = end;
      for (size_t c = 0; c < in.size(); ++c)
         in[c] = const_cast<Sample*>(inputs[c]) + done;
      for (size_t c = 0; c < out.size(); ++c)
         out[c] = outputs[c] + done;
      raw_->process(in.data(), out.data(), static_cast<int32_t>(n));
      done += n;
   }
}

template void Instance::processBlocks(const float* const*, float* const*, size_t,
                                      std::span<const MidiEvent>);
template void Instance::processBlocks(const double* const*, double* const*, size_t,
                                      std::span<const MidiEvent>);

void Instance::setTempo(double bpm) {
   raw_->setTempo(bpm);
}

int64_t Instance::position() const {
   return raw_->samplePosition();
}

int32_t Instance::latency() const {
   return raw_->record().initialDelay;
}

int32_t Instance::tail() {
   return static_cast<int32_t>(raw_->dispatch(effGetTailSize));
}

} // namespace trimwise::host
