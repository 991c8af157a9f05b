// SPDX-License-Identifier: MIT
// What the checks share: loading the plug-in, the host settings of their instances, notes for
// instruments, guarded sample buffers, and the values and indices that hosts get wrong.
#pragma once

#include "tools/hostlib/plugin_instance.h"
#include "tools/hostlib/plugin_module.h"
#include "tools/validate/check.h"
#include <trimwise/framework/plugin_interface.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#endif
#ifndef VALGRIND_CHECK_MEM_IS_DEFINED
#define VALGRIND_CHECK_MEM_IS_DEFINED(address, size) ((void)(address), (void)(size))
#endif
#include <memory>
#include <string>
#include <vector>

namespace plughost::validate {

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

// Loads the plug-in named in the context; throws ToolError when it cannot be loaded.
std::shared_ptr<PluginModule> loadPlugin(const CheckContext& context);

// The host settings every check's instances get: a real-time host at `sampleRate` and
// `blockSize`, with no request log (so that the callback stays out of what the allocation
// counters see).
HostSettings checkSettings(float sampleRate = 44100.0f, int32_t blockSize = 512);

// A plug-in that makes sound from notes: the synth flag, or no audio inputs at all.
bool isInstrument(const AEffect& record);

// A chord of three notes, on at frame 0 and off at `offFrame` of an instance's run, sent
// through effProcessEvents before each processing call that spans one of those frames.
class Notes {
public:
   explicit Notes(int64_t offFrame) : offFrame_(offFrame) {}
   // Sends what falls into [start, start + frames); call right before that processing call.
   void send(PluginInstance& instance, int64_t start, int32_t frames);

private:
   static constexpr size_t kMaxEvents = 8;
   int64_t offFrame_;
   VstMidiEvent midi_[kMaxEvents]{};
   // A VstEvents record with room for kMaxEvents pointers, laid out by hand.
   alignas(VstEvents) unsigned char list_[offsetof(VstEvents, events) +
                                          kMaxEvents * sizeof(VstEvent*)]{};
};

// Values a host may send as parameter values, the broken ones included.
const std::vector<float>& awkwardValues();
// Parameter indices that name no parameter of an effect with `numParams` parameters.
std::vector<int32_t> badIndices(int32_t numParams);

// Bitwise equality, so that NaNs compare equal to themselves and -0.0 differs from 0.0.
template <class T>
bool sameBits(T a, T b) {
   return std::memcmp(&a, &b, sizeof(T)) == 0;
}

// A small, fast generator for reproducible test data.
class Random {
public:
   explicit Random(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
   uint64_t next();
   uint32_t below(uint32_t bound) { return static_cast<uint32_t>(next() % bound); }
   // Uniform in [-1, 1), on a grid of 2^-23 so that the value is exact in both precisions.
   float sample();

private:
   uint64_t state_;
};

// Audio channels each surrounded by guard samples, and the pointer array the plug-in is given,
// surrounded by guard pointers. Anything written outside the channels' frames or to the array
// shows up in damage().
template <class T>
class GuardedChannels {
public:
   static constexpr size_t kGuardSamples = 16;
   static constexpr size_t kGuardPointers = 4;

   GuardedChannels(int32_t channels, size_t frames);
   // A copy has its own samples and its own pointer array over them.
   GuardedChannels(const GuardedChannels& other);
   GuardedChannels& operator=(const GuardedChannels&) = delete;

   // Makes the pointer array point at `channels` instead (for in-place processing: another
   // set's channels).
   void pointAt(const std::vector<T*>& channels);
   std::vector<T*> channelPointers() const { return channels_; }

   T** pointers() { return pointers_.data() + kGuardPointers; }
   T* channel(int32_t c) { return channels_[size_t(c)]; }
   const T* channel(int32_t c) const { return channels_[size_t(c)]; }
   int32_t channelCount() const { return int32_t(channels_.size()); }
   size_t frames() const { return frames_; }

   // Fills every sample with the sentinel, a NaN that no arithmetic produces.
   void fillSentinel();
   static bool isSentinel(T sample);
   // Fills with reproducible test data in [-1, 1).
   void fillRandom(Random& random);

   // Empty when every guard sample and pointer is intact; else what was overwritten.
   std::string damage(const char* what) const;

private:
   size_t frames_;
   std::vector<std::vector<T>> storage_;
   std::vector<T*> channels_;
   std::vector<T*> pointers_;
   std::vector<T*> expectedPointers_;
};

// Empty if no output sample is the sentinel or (if `finite`) not finite; else the first such
// sample.
template <class T>
std::string unwrittenOrNotFinite(const GuardedChannels<T>& output, size_t frames,
                                 bool finite = true);

} // namespace plughost::validate

namespace plughost::validate {

// Under valgrind's memcheck, reports output samples computed from uninitialised values, which
// memcheck itself reports only where they decide a branch. Nothing otherwise.
template <class T>
void checkDefined(const GuardedChannels<T>& out, size_t frames) {
   for (int32_t c = 0; c < out.channelCount(); ++c)
      VALGRIND_CHECK_MEM_IS_DEFINED(out.channel(c), frames * sizeof(T));
}

// Processes one block of `frames` frames of `in` into `out` through `instance` on `audio`, out
// of place, and checks it: guards intact, inputs unchanged, every output written and (if
// `finite`) finite. Empty if all is well. Notes, if given, are sent first.
template <class T>
std::string processAndCheck(PluginInstance& instance, AudioThread& audio, GuardedChannels<T>& in,
                            GuardedChannels<T>& out, size_t frames, bool finite = true,
                            Notes* notes = nullptr) {
   const GuardedChannels<T> original = in;
   out.fillSentinel();
   audio.run([&] {
      if (notes) notes->send(instance, instance.samplePosition(), int32_t(frames));
      instance.process(in.pointers(), out.pointers(), static_cast<int32_t>(frames));
   });
   checkDefined(out, frames);
   std::string problem = in.damage("input");
   if (problem.empty()) problem = out.damage("output");
   if (!problem.empty()) return problem;
   for (int32_t c = 0; c < in.channelCount(); ++c) {
      if (std::memcmp(in.channel(c), original.channel(c), frames * sizeof(T)) != 0) {
         return format("input channel %d was changed", c);
      }
   }
   return unwrittenOrNotFinite(out, frames, finite);
}

// The same with `frames` of fresh test noise as input, in either precision.
template <class T>
std::string processNoise(PluginInstance& instance, AudioThread& audio, size_t frames,
                         Random& random, bool finite = true) {
   const AEffect& r = instance.record();
   GuardedChannels<T> in(r.numInputs, frames), out(r.numOutputs, frames);
   in.fillRandom(random);
   return processAndCheck<T>(instance, audio, in, out, frames, finite);
}

} // namespace plughost::validate

namespace plughost::validate {

// A host text buffer of `allowed` bytes with 16 guard bytes before it and 256 after it, for
// commands that write at most `allowed` bytes (the text and its NUL).
class GuardedText {
public:
   static constexpr size_t kBefore = 16;
   static constexpr size_t kAfter = 256;

   explicit GuardedText(size_t allowed) : allowed_(allowed), bytes_(kBefore + allowed + kAfter) {}

   void fill(unsigned char pattern) { std::fill(bytes_.begin(), bytes_.end(), pattern); }
   char* text() { return reinterpret_cast<char*>(bytes_.data() + kBefore); }
   size_t allowed() const { return allowed_; }

   // After a command on a buffer filled with `pattern`: empty if nothing was written outside the
   // allowed bytes and whatever was written inside them is NUL-terminated there; else what went
   // wrong. `touched` tells whether any allowed byte changed.
   std::string check(unsigned char pattern, bool& touched) const;

private:
   size_t allowed_;
   std::vector<unsigned char> bytes_;
};

} // namespace plughost::validate

namespace plughost::validate {

// A command that writes a text into a host buffer, and how many bytes it may write (the
// interface's limit for that kind of text plus the NUL).
struct TextCommand {
   int32_t opcode;
   const char* name;
   size_t allowed;
   bool perParameter; // index names a parameter
   bool required;     // for a valid index the plug-in must write a text
};
const std::vector<TextCommand>& textCommands();

// Hosts give every text at least this much room (the longest limit of the interface), so a text
// longer than the interface allows for its kind hurts no host; it fails from --level strict on.
constexpr size_t kHostTextBuffer = 65;
// The room a check gives `command`'s text at the context's level.
size_t textRoom(const TextCommand& command, const CheckContext& context);

// Runs one text command on `text`'s buffer filled with two patterns in turn, so that a write of
// a byte equal to one fill still shows. Empty if all is well; `touched` as in GuardedText.
template <class Instance>
std::string runTextCommand(Instance& instance, const TextCommand& command, int32_t index,
                           GuardedText& text, bool& touched, intptr_t value = 0) {
   bool anyTouched = false;
   for (unsigned char pattern : {0xA5, 0x5A}) {
      text.fill(pattern);
      instance.dispatch(command.opcode, index, value, text.text());
      bool t = false;
      const std::string problem = text.check(pattern, t);
      if (!problem.empty()) return problem;
      anyTouched = anyTouched || t;
   }
   touched = anyTouched;
   return {};
}

} // namespace plughost::validate
