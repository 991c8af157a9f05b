// SPDX-License-Identifier: MIT
// What a measurement plays its signals through: a plug-in instance as a host drives it, or in
// tests a plain function of the samples. Measurements see only this.
#pragma once

#include <trimwise/host/instance.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace trimwise::host::analysis {

// One vector of samples per output channel.
using Channels = std::vector<std::vector<double>>;

// A measurement that cannot give a result for this plug-in: output NaN or infinity, a signal it
// will not take. The text names the call and the signal: "output NaN at frame 5120 of output 1
// after processDoubleReplacing, playing the sweep at -6 dBFS".
class MeasurementFailed : public std::runtime_error {
public:
   using std::runtime_error::runtime_error;
};

class Device {
public:
   virtual ~Device() = default;

   virtual double sampleRate() const = 0;
   virtual int32_t outputs() const = 0;
   // The inputs the stimulus goes to; 0 for an instrument without audio input.
   virtual int32_t mainInputs() const = 0;
   virtual bool isInstrument() const = 0;
   // What the plug-in reports: its latency in frames, and its tail as effGetTailSize answers
   // (0: it does not say, 1: no tail).
   virtual int32_t reportedLatency() = 0;
   virtual int32_t reportedTail() = 0;
   // The sample precision the plug-in processes in, 64 or 32 bits: the stimulus reaches it
   // rounded to this, which sets the floor of what can be measured.
   virtual int precision() const { return 64; }

   // Starts over from a fresh instance, set up as the analysis options say.
   virtual void reset() = 0;
   // Plays `input` into every main input (silence into the others), then `extraFrames` of
   // silence, carrying on from where the last call ended. Returns each output, input.size() +
   // extraFrames samples long. `signal` names what is played, for failures ("the sweep at -6
   // dBFS"). Throws MeasurementFailed when an output holds NaN or infinity.
   virtual Channels play(std::span<const double> input, size_t extraFrames,
                         std::string_view signal) = 0;
   // Plays `frames` frames of silence into the inputs with these notes, for instruments.
   virtual Channels playNotes(std::span<const MidiEvent> events, size_t frames,
                              std::string_view signal) = 0;
};

} // namespace trimwise::host::analysis
