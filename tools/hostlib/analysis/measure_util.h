// SPDX-License-Identifier: MIT
// What the stepped-tone measurements (distortion, dynamics, aliasing, time) share: numbers that
// may be null with a reason, the answer for a plug-in without audio input, settling lengths, and
// tones played continuously across calls.
#pragma once

#include "tools/hostlib/analysis/analysis.h"
#include "tools/hostlib/analysis/device.h"
#include "tools/hostlib/analysis/dsp.h"
#include "tools/hostlib/json.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

namespace trimwise::host::analysis {

using plughost::Json;

// object[key] = value, or null and object[key + "_reason"] = reason when it is not finite.
inline void putNumber(Json& object, const std::string& key, double value,
                      const std::string& reason) {
   object[key] = plughost::jsonNumber(value);
   if (!std::isfinite(value)) object[key + "_reason"] = reason;
}

// The section for a measurement that needs an audio input or output the device lacks; empty when
// it can run.
inline std::optional<Json> notApplicable(Device& device) {
   if (device.mainInputs() == 0)
      return Json{{"status", "not_applicable"},
                  {"reason", device.isInstrument()
                                 ? "needs an audio input: the plug-in is an instrument without one"
                                 : "needs an audio input: the plug-in has none"}};
   if (device.outputs() == 0)
      return Json{{"status", "not_applicable"}, {"reason", "the plug-in has no audio output"}};
   return std::nullopt;
}

// Frames to play before analysing a new tone: 100 ms, and at least the reported latency and a
// little more, so that what is analysed is the plug-in's answer to the tone, not to its start.
inline size_t settleFrames(Device& device) {
   const auto latency = size_t(std::max(0, device.reportedLatency()));
   return std::max(size_t(std::lround(0.1 * device.sampleRate())), latency + 1024);
}

// `frames` rounded up to whole processing blocks. Every call plays whole blocks: some plug-ins
// go wrong after a short block, which a host that always passes whole blocks never shows.
inline size_t wholeBlocks(size_t frames, const AnalysisOptions& options) {
   const auto block = size_t(std::max(1, options.blockSize));
   return (frames + block - 1) / block * block;
}

// Settling frames lengthened so that settling plus `frames` fill whole blocks.
inline size_t settleToWholeBlocks(size_t settle, size_t frames, const AnalysisOptions& options) {
   return wholeBlocks(settle + frames, options) - frames;
}

// The power of two of frames nearest above a sixth of a second: long enough for 100 Hz tones to
// stand on their own bins, short enough to keep each step quick.
inline size_t analysisFrames(double sampleRate) {
   size_t n = 1024;
   while (double(n) < sampleRate / 6)
      n *= 2;
   return n;
}

// A sine played in pieces: each piece carries on the phase where the last ended, so that only
// the level changes between pieces.
class TonePlayer {
public:
   TonePlayer(Device& device, double frequency) : device_(device), frequency_(frequency) {}

   Channels play(double dbfs, size_t frames, const std::string& signal) {
      const double w = 2 * std::numbers::pi * frequency_ / device_.sampleRate();
      // A rounding error here only shifts the phase of the whole piece: the tone stays pure.
      const double phase = std::fmod(w * double(played_), 2 * std::numbers::pi);
      const auto x = sine(frequency_, dbfsToPeak(dbfs), device_.sampleRate(), frames, phase);
      played_ += frames;
      if (record_) record_->insert(record_->end(), x.begin(), x.end());
      return device_.play(x, 0, signal);
   }

   double frequency() const { return frequency_; }
   // Appends every input sample played from now on to `input` (nullptr: stop).
   void recordInput(std::vector<double>* input) { record_ = input; }

private:
   Device& device_;
   double frequency_;
   size_t played_ = 0;
   std::vector<double>* record_ = nullptr;
};

// "the 1 kHz tone at -6 dBFS" style names for failures.
inline std::string toneName(double frequency, double dbfs) {
   char text[96];
   std::snprintf(text, sizeof text, "the %.1f Hz tone at %+.0f dBFS", frequency, dbfs);
   return text;
}

} // namespace trimwise::host::analysis
