// SPDX-License-Identifier: MIT
#include "tools/validate/check_support.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <stdexcept>

namespace plughost::validate {

std::string format(const char* pattern, ...) {
   char text[1024];
   va_list args;
   va_start(args, pattern);
   std::vsnprintf(text, sizeof text, pattern, args);
   va_end(args);
   return text;
}

std::shared_ptr<PluginModule> loadPlugin(const CheckContext& context) {
   return PluginModule::load(context.pluginPath);
}

HostSettings checkSettings(float sampleRate, int32_t blockSize) {
   HostSettings settings;
   settings.sampleRate = sampleRate;
   settings.blockSize = blockSize;
   settings.realtime = true;
   settings.logRequests = false;
   return settings;
}

bool isInstrument(const AEffect& record) {
   return (record.flags & effFlagsIsSynth) || record.numInputs == 0;
}

void Notes::send(PluginInstance& instance, int64_t start, int32_t frames) {
   constexpr unsigned char kChord[] = {60, 64, 67};
   int32_t n = 0;
   auto add = [&](int64_t at, unsigned char status, unsigned char note, unsigned char velocity) {
      if (at < start || at >= start + std::max(frames, 1) || size_t(n) >= kMaxEvents) return;
      VstMidiEvent& e = midi_[n];
      e = VstMidiEvent{};
      e.type = kVstMidiType;
      e.byteSize = sizeof(VstMidiEvent);
      e.deltaFrames = static_cast<int32_t>(at - start);
      e.midiData[0] = static_cast<char>(status);
      e.midiData[1] = static_cast<char>(note);
      e.midiData[2] = static_cast<char>(velocity);
      VstEvent* event = reinterpret_cast<VstEvent*>(&e);
      std::memcpy(list_ + offsetof(VstEvents, events) + size_t(n) * sizeof event, &event,
                  sizeof event);
      ++n;
   };
   for (unsigned char note : kChord)
      add(0, 0x90, note, 100);
   for (unsigned char note : kChord)
      add(offFrame_, 0x80, note, 64);
   if (n == 0) return;
   std::memcpy(list_ + offsetof(VstEvents, numEvents), &n, sizeof n);
   instance.sendEvents(*reinterpret_cast<VstEvents*>(list_));
}

// --- Values

const std::vector<float>& awkwardValues() {
   static const std::vector<float> values = {0.0f,
                                             1.0f,
                                             -0.0f,
                                             0.5f,
                                             std::numeric_limits<float>::denorm_min(),
                                             1e-40f,
                                             -1e-40f,
                                             FLT_MIN,
                                             -1.0f,
                                             2.0f,
                                             1e30f,
                                             -1e30f,
                                             std::numeric_limits<float>::infinity(),
                                             -std::numeric_limits<float>::infinity(),
                                             std::numeric_limits<float>::quiet_NaN(),
                                             -std::numeric_limits<float>::quiet_NaN(),
                                             FLT_MAX,
                                             0.25f};
   return values;
}

std::vector<int32_t> badIndices(int32_t numParams) {
   return {-1, numParams, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()};
}

uint64_t Random::next() {
   // splitmix64
   uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
   z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
   z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
   return z ^ (z >> 31);
}

float Random::sample() {
   const auto grid = static_cast<int32_t>(next() >> 40); // 24 bits
   return static_cast<float>(grid - (1 << 23)) * 0x1p-23f;
}

// --- Guarded channels

namespace {
// Bit patterns no arithmetic produces: NaNs with payloads, and addresses nobody maps.
template <class T>
T guardSample();
template <>
float guardSample<float>() {
   return std::bit_cast<float>(uint32_t(0x7FA11A5Du));
}
template <>
double guardSample<double>() {
   return std::bit_cast<double>(uint64_t(0x7FF4A11A5DEADBADull));
}
template <class T>
T sentinelSample();
template <>
float sentinelSample<float>() {
   return std::bit_cast<float>(uint32_t(0x7FC5E471u));
}
template <>
double sentinelSample<double>() {
   return std::bit_cast<double>(uint64_t(0x7FF8C0FFEE5E4710ull));
}
template <class T>
T* guardPointer(size_t i) {
   return reinterpret_cast<T*>(uintptr_t(0x6A7D0000u) + i * 0x10);
}
} // namespace

template <class T>
GuardedChannels<T>::GuardedChannels(int32_t channels, size_t frames) : frames_(frames) {
   for (int32_t c = 0; c < channels; ++c) {
      storage_.emplace_back(frames + 2 * kGuardSamples, guardSample<T>());
      channels_.push_back(storage_.back().data() + kGuardSamples);
   }
   pointAt(channels_);
}

template <class T>
GuardedChannels<T>::GuardedChannels(const GuardedChannels& other)
    : frames_(other.frames_), storage_(other.storage_) {
   for (auto& s : storage_)
      channels_.push_back(s.data() + kGuardSamples);
   pointAt(channels_);
}

template <class T>
void GuardedChannels<T>::pointAt(const std::vector<T*>& channels) {
   pointers_.clear();
   for (size_t i = 0; i < kGuardPointers; ++i)
      pointers_.push_back(guardPointer<T>(i));
   for (T* c : channels)
      pointers_.push_back(c);
   for (size_t i = 0; i < kGuardPointers; ++i)
      pointers_.push_back(guardPointer<T>(i + 100));
   expectedPointers_ = pointers_;
}

template <class T>
void GuardedChannels<T>::fillSentinel() {
   for (T* c : channels_)
      std::fill(c, c + frames_, sentinelSample<T>());
}

template <class T>
bool GuardedChannels<T>::isSentinel(T sample) {
   return sameBits(sample, sentinelSample<T>());
}

template <class T>
void GuardedChannels<T>::fillRandom(Random& random) {
   for (T* c : channels_) {
      for (size_t i = 0; i < frames_; ++i)
         c[i] = static_cast<T>(random.sample());
   }
}

template <class T>
std::string GuardedChannels<T>::damage(const char* what) const {
   for (size_t i = 0; i < pointers_.size(); ++i) {
      if (pointers_[i] != expectedPointers_[i]) {
         return format("%s pointer array overwritten at element %lld", what,
                       static_cast<long long>(i) - static_cast<long long>(kGuardPointers));
      }
   }
   for (size_t c = 0; c < storage_.size(); ++c) {
      const auto& s = storage_[c];
      for (size_t i = 0; i < kGuardSamples; ++i) {
         if (!sameBits(s[i], guardSample<T>())) {
            return format("%s channel %zu written %zu samples before its start", what, c,
                          kGuardSamples - i);
         }
         const size_t after = kGuardSamples + frames_ + i;
         if (!sameBits(s[after], guardSample<T>())) {
            return format("%s channel %zu written %zu samples past its %zu frames", what, c, i + 1,
                          frames_);
         }
      }
   }
   return {};
}

template class GuardedChannels<float>;
template class GuardedChannels<double>;

template <class T>
std::string unwrittenOrNotFinite(const GuardedChannels<T>& output, size_t frames, bool finite) {
   for (int32_t c = 0; c < output.channelCount(); ++c) {
      for (size_t i = 0; i < frames; ++i) {
         const T v = output.channel(c)[i];
         if (GuardedChannels<T>::isSentinel(v)) {
            return format("output channel %d frame %zu was not written", c, i);
         }
         if (finite && !std::isfinite(v)) {
            return format("output channel %d frame %zu is %g for finite input", c, i, double(v));
         }
      }
   }
   return {};
}

template std::string unwrittenOrNotFinite(const GuardedChannels<float>&, size_t, bool);
template std::string unwrittenOrNotFinite(const GuardedChannels<double>&, size_t, bool);

} // namespace plughost::validate

namespace plughost::validate {

std::string GuardedText::check(unsigned char pattern, bool& touched) const {
   for (size_t i = 0; i < kBefore; ++i) {
      if (bytes_[i] != pattern) return format("wrote %zu bytes before the buffer", kBefore - i);
   }
   for (size_t i = bytes_.size(); i > kBefore + allowed_; --i) {
      if (bytes_[i - 1] != pattern) {
         return format("wrote %zu bytes into a buffer of %zu", i - kBefore, allowed_);
      }
   }
   touched = false;
   bool terminated = false;
   for (size_t i = kBefore; i < kBefore + allowed_; ++i) {
      touched = touched || bytes_[i] != pattern;
      terminated = terminated || bytes_[i] == 0;
   }
   if (touched && !terminated) return format("left the text unterminated in %zu bytes", allowed_);
   return {};
}

} // namespace plughost::validate

namespace plughost::validate {

const std::vector<TextCommand>& textCommands() {
   // Parameter names have no limit in the interface's text rules; hosts give the usual 32.
   static const std::vector<TextCommand> commands = {
       {effGetParamName, "effGetParamName", 33, true, true},
       {effGetParamLabel, "effGetParamLabel", 9, true, true},
       {effGetParamDisplay, "effGetParamDisplay", 9, true, true},
       {effGetProgramName, "effGetProgramName", 25, false, true},
       {effGetProgramNameIndexed, "effGetProgramNameIndexed", 25, false, false},
       {effGetEffectName, "effGetEffectName", 33, false, false},
       {effGetVendorString, "effGetVendorString", 65, false, false},
       {effGetProductString, "effGetProductString", 65, false, false},
       {effShellGetNextPlugin, "effShellGetNextPlugin", 65, false, false},
   };
   return commands;
}

} // namespace plughost::validate

namespace plughost::validate {

size_t textRoom(const TextCommand& command, const CheckContext& context) {
   return context.atLeast(Level::strict) ? command.allowed
                                         : std::max(command.allowed, kHostTextBuffer);
}

} // namespace plughost::validate
