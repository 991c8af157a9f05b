// SPDX-License-Identifier: MIT
#include "tools/hostlib/analysis/plugin_device.h"

#include <cmath>
#include <optional>
#include <string>

namespace trimwise::host::analysis {
namespace {

std::string rateText(double rate) {
   char text[32];
   std::snprintf(text, sizeof text, "%g Hz", rate);
   return text;
}

// Silence after the end of every input: some plug-ins read a few samples past the frames they
// are given (validate reports that), and should measure what they do to the signal, not to
// whatever memory follows it.
constexpr size_t kInputSlack = 64;
// An output beyond +120 dBFS is no sound a plug-in means to make but arithmetic that has run
// away (a filter gone unstable): reported as a failure, like NaN.
constexpr double kBlownUp = 1e6;

class PluginDevice : public Device {
public:
   PluginDevice(const Plugin& plugin, const AnalysisOptions& options)
       : plugin_(plugin), options_(options) {
      reset();
   }

   double sampleRate() const override { return options_.sampleRate; }
   int32_t outputs() const override { return instance_->outputs(); }
   int32_t mainInputs() const override {
      const int32_t inputs = instance_->inputs();
      return inputs < 2 || options_.sideChain ? inputs : 2;
   }
   bool isInstrument() const override { return instrument_; }
   int32_t reportedLatency() override { return instance_->latency(); }
   int32_t reportedTail() override { return instance_->tail(); }
   int precision() const override { return precision_; }

   void reset() override {
      instance_.reset(); // the old instance closes before the new one opens
      try {
         instance_.emplace(plugin_.instantiate(
             {.sampleRate = options_.sampleRate, .blockSize = options_.blockSize}));
      } catch (const LoadError& e) {
         throw LoadError("'" + plugin_.path() + "' opens no instance at " +
                             rateText(options_.sampleRate) + ": " + e.what(),
                         e.hint());
      }
      Instance& instance = *instance_;
      if (!options_.state.empty()) instance.setState(options_.state);
      for (const auto& setting : options_.settings)
         instance.set(setting);
      precision_ = processingPrecision(instance, options_);
      instrument_ = instance.isInstrument() || instance.inputs() == 0;
   }

   Channels play(std::span<const double> input, size_t extraFrames,
                 std::string_view signal) override {
      return run(input, extraFrames, {}, signal);
   }

   Channels playNotes(std::span<const MidiEvent> events, size_t frames,
                      std::string_view signal) override {
      return run({}, frames, events, signal);
   }

private:
   // Plays `input` then `extra` frames of silence, with `events`, in the instance's precision.
   Channels run(std::span<const double> input, size_t extra, std::span<const MidiEvent> events,
                std::string_view signal) {
      Instance& instance = *instance_;
      const size_t frames = input.size() + extra;
      const auto inputs = static_cast<size_t>(std::max(instance.inputs(), 0));
      const auto fed = static_cast<size_t>(std::max(mainInputs(), 0));
      const auto outputs = static_cast<size_t>(std::max(instance.outputs(), 0));
      Channels out(outputs, std::vector<double>(frames, 0.0));
      if (precision_ == 64) {
         // Each input gets its own copy: a plug-in that writes into its inputs must not
         // change what another input is given.
         Channels in(inputs, std::vector<double>(frames + kInputSlack, 0.0));
         for (size_t c = 0; c < fed; ++c)
            std::copy(input.begin(), input.end(), in[c].begin());
         std::vector<const double*> ip(inputs);
         std::vector<double*> op(outputs);
         for (size_t c = 0; c < inputs; ++c)
            ip[c] = in[c].data();
         for (size_t c = 0; c < outputs; ++c)
            op[c] = out[c].data();
         instance.process(ip.data(), op.data(), frames, events);
      } else {
         std::vector<std::vector<float>> in(inputs, std::vector<float>(frames + kInputSlack, 0.0f));
         std::vector<std::vector<float>> o(outputs, std::vector<float>(frames, 0.0f));
         for (size_t c = 0; c < fed; ++c) {
            for (size_t i = 0; i < input.size(); ++i)
               in[c][i] = static_cast<float>(input[i]);
         }
         std::vector<const float*> ip(inputs);
         std::vector<float*> op(outputs);
         for (size_t c = 0; c < inputs; ++c)
            ip[c] = in[c].data();
         for (size_t c = 0; c < outputs; ++c)
            op[c] = o[c].data();
         instance.process(ip.data(), op.data(), frames, events);
         for (size_t c = 0; c < outputs; ++c)
            std::copy(o[c].begin(), o[c].end(), out[c].begin());
      }
      check(out, signal);
      played_ += frames;
      return out;
   }

   // Throws MeasurementFailed at the first sample that is not a finite number, or so large that
   // the plug-in has blown up: no measurement can say anything about the sound then.
   void check(const Channels& out, std::string_view signal) const {
      for (size_t c = 0; c < out.size(); ++c) {
         for (size_t i = 0; i < out[c].size(); ++i) {
            const double v = out[c][i];
            if (std::fabs(v) <= kBlownUp) continue;
            char value[64];
            std::snprintf(value, sizeof value, "%.3g (%+.0f dBFS)", v,
                          20.0 * std::log10(std::fabs(v)));
            const std::string what = std::isnan(v)   ? "NaN"
                                     : std::isinf(v) ? (v > 0 ? "+infinity" : "-infinity")
                                                     : value;
            const size_t block = static_cast<size_t>(options_.blockSize);
            const size_t callFrames = std::min(block, out[c].size() - i / block * block);
            throw MeasurementFailed(
                "output " + what + " at frame " + std::to_string(played_ + i) + " of output " +
                std::to_string(c) + " after " +
                (precision_ == 64 ? "processDoubleReplacing" : "processReplacing") + "(" +
                std::to_string(callFrames) + " frames), playing " + std::string(signal));
         }
      }
   }

   Plugin plugin_;
   AnalysisOptions options_;
   std::optional<Instance> instance_;
   int precision_ = 64;
   bool instrument_ = false;
   size_t played_ = 0; // frames played since the instance was opened
};

} // namespace

int processingPrecision(Instance& instance, const AnalysisOptions& options) {
   if (options.precision == 32) return 32;
   if (options.precision == 64 && !instance.canProcessDouble()) {
      throw BadArgument("'" + instance.path() + "' does not process 64-bit samples",
                        "measure it in 32-bit precision");
   }
   if (options.precision != 0 && options.precision != 64) {
      throw BadArgument("a precision of " + std::to_string(options.precision) +
                            " bits cannot be processed",
                        "give 32 or 64");
   }
   return instance.canProcessDouble() ? 64 : 32;
}

std::unique_ptr<Device> openDevice(const Plugin& plugin, const AnalysisOptions& options) {
   return std::make_unique<PluginDevice>(plugin, options);
}

} // namespace trimwise::host::analysis
