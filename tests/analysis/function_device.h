// SPDX-License-Identifier: MIT
// A Device made of a plain function of the samples, for testing measurements against answers
// known in closed form: stateful (a fresh function on every reset), with the latency and tail it
// reports and the precision it rounds to set by the test.
#pragma once

#include "tools/hostlib/analysis/device.h"

#include <cmath>
#include <functional>
#include <string>
#include <utility>

namespace trimwise::host::analysis::testing {

struct DeviceSetup {
   double sampleRate = 48000;
   int32_t outputs = 2;
   int32_t inputs = 2; // 0: an instrument
   int32_t latency = 0;
   int32_t tail = 0;
   int precision = 64; // 32: input and output rounded to float
};

// Fills `out` (one vector per output, each input.size() long) from `input` and the notes.
using BlockFunction = std::function<void(std::span<const double> input,
                                         std::span<const MidiEvent> events, Channels& out)>;

class FunctionDevice : public Device {
public:
   // `make` returns the processing function of a fresh instance; it is called on every reset().
   FunctionDevice(DeviceSetup setup, std::function<BlockFunction()> make)
       : setup_(setup), make_(std::move(make)), block_(make_()) {}

   // The same function of one sample, with its state, on every output.
   static FunctionDevice perSample(DeviceSetup setup,
                                   std::function<std::function<double(double)>()> make) {
      return FunctionDevice(setup, [make] {
         return BlockFunction([f = make()](std::span<const double> in, std::span<const MidiEvent>,
                                           Channels& out) mutable {
            for (size_t i = 0; i < in.size(); ++i) {
               const double y = f(in[i]);
               for (auto& channel : out)
                  channel[i] = y;
            }
         });
      });
   }

   double sampleRate() const override { return setup_.sampleRate; }
   int32_t outputs() const override { return setup_.outputs; }
   int32_t mainInputs() const override { return setup_.inputs; }
   bool isInstrument() const override { return setup_.inputs == 0; }
   int32_t reportedLatency() override { return setup_.latency; }
   int32_t reportedTail() override { return setup_.tail; }
   int precision() const override { return setup_.precision; }

   void reset() override {
      block_ = make_();
      ++resets_;
   }
   Channels play(std::span<const double> input, size_t extraFrames,
                 std::string_view signal) override {
      std::vector<double> x(input.begin(), input.end());
      x.resize(input.size() + extraFrames, 0.0);
      return run(x, {}, signal);
   }
   Channels playNotes(std::span<const MidiEvent> events, size_t frames,
                      std::string_view signal) override {
      return run(std::vector<double>(frames, 0.0), events, signal);
   }

   // Frames played since construction, over every call: what the measurements cost in audio.
   size_t framesPlayed() const { return played_; }
   int resets() const { return resets_; }

private:
   Channels run(std::vector<double> x, std::span<const MidiEvent> events, std::string_view signal) {
      if (setup_.precision == 32)
         for (auto& v : x)
            v = double(float(v));
      Channels out(size_t(setup_.outputs), std::vector<double>(x.size(), 0.0));
      block_(x, events, out);
      for (size_t c = 0; c < out.size(); ++c)
         for (size_t i = 0; i < out[c].size(); ++i) {
            if (setup_.precision == 32) out[c][i] = double(float(out[c][i]));
            if (!std::isfinite(out[c][i]))
               throw MeasurementFailed("output NaN or infinity at frame " + std::to_string(i) +
                                       " of output " + std::to_string(c) + ", playing " +
                                       std::string(signal));
         }
      played_ += x.size();
      return out;
   }

   DeviceSetup setup_;
   std::function<BlockFunction()> make_;
   BlockFunction block_;
   size_t played_ = 0;
   int resets_ = 0;
};

} // namespace trimwise::host::analysis::testing
