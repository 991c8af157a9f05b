// SPDX-License-Identifier: MIT
// Time: how long the output goes on after the input stops (to -60 and -120 dB against the level
// just before the stop), beside the tail the plug-in reports; and what it outputs with silent
// input (noise floor, DC). The tail is rendered in chunks only until both levels are passed, as
// reverbs run long.
#include "tools/hostlib/analysis/measure_util.h"
#include "tools/hostlib/analysis/measurements.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>

namespace trimwise::host::analysis {

namespace {

constexpr double kBurstSeconds = 1.0;      // long enough for a reverb to build up
constexpr double kBurstDbfs = -20.0;       // RMS, as a sine of that level would have
constexpr double kReferenceSeconds = 0.05; // the level the tail is read against
constexpr double kWindowSeconds = 0.01;    // the envelope's averaging window
constexpr double kChunkSeconds = 0.1;      // rendered per call after the stop
constexpr double kHoldSeconds = 0.3;       // below a threshold this long: passed
constexpr double kSilenceSeconds = 1.0;    // the noise floor's listening time
constexpr double kShortestFlaggedTail = 0.01;
constexpr double kTailTolerance = 0.05; // reported tails this much shorter still pass

// Gaussian noise of the given RMS from a fixed seed, the same on every machine.
std::vector<double> noise(size_t frames, double rmsValue) {
   uint64_t state = 0x9E3779B97F4A7C15ULL;
   const auto uniform = [&] {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      return (double(state >> 11) + 0.5) / 9007199254740992.0;
   };
   std::vector<double> x(frames);
   for (size_t i = 0; i < frames; ++i)
      x[i] = rmsValue * std::sqrt(-2 * std::log(uniform())) *
             std::cos(2 * std::numbers::pi * uniform());
   return x;
}

// Power summed over the outputs, frame by frame, appended to `power`.
void appendPower(std::vector<double>& power, const Channels& out, size_t from = 0) {
   if (out.empty()) return;
   for (size_t i = from; i < out[0].size(); ++i) {
      double sum = 0;
      for (const auto& channel : out)
         sum += channel[i] * channel[i];
      power.push_back(sum);
   }
}

// When the envelope last stood at or above `threshold` (a power), in frames after `stop`: the
// power averaged over a window centred on each point, read every tenth of a window and
// interpolated in dB; but no later than the last single frame at or above it, so that a tail
// that ends abruptly is not lengthened by the window.
double lastAbove(const std::vector<double>& power, size_t stop, size_t window, double threshold) {
   std::vector<long double> after(power.size() + 1, 0.0L); // sums from each frame to the end
   for (size_t i = power.size(); i-- > 0;)
      after[i] = after[i + 1] + power[i];
   const auto envelope = [&](size_t centre) {
      const size_t from = centre - window / 2, to = std::min(power.size(), from + window);
      return double((after[from] - after[to]) / (to - from));
   };
   const size_t step = std::max<size_t>(1, window / 10);
   double envelopeTime = 0;
   for (size_t i = stop; i + window / 2 < power.size(); i += step) {
      const double e = envelope(i);
      if (e < threshold) continue;
      const double next = i + step + window / 2 < power.size() ? envelope(i + step) : 0.0;
      envelopeTime = double(i - stop);
      if (next > 0 && next < threshold)
         envelopeTime += double(step) * std::log(e / threshold) / std::log(e / next);
   }
   double frameTime = 0;
   for (size_t i = power.size(); i-- > stop;)
      if (power[i] >= threshold) {
         frameTime = double(i + 1 - stop);
         break;
      }
   return std::min(envelopeTime, frameTime);
}

} // namespace

Json measureTime(Device& device, const AnalysisOptions& options) {
   if (auto section = notApplicable(device)) return *section;
   const double fs = device.sampleRate();
   const auto lag = size_t(std::max(0, device.reportedLatency()));
   const auto inf = std::numeric_limits<double>::infinity();

   // The noise floor and DC offset: silence into a fresh instance, once its latency and a
   // settling time have passed (a filter's start may click).
   device.reset();
   const auto silenceFrames = size_t(kSilenceSeconds * fs);
   const size_t skip = settleFrames(device);
   const auto quiet = device.play(
       std::vector<double>(wholeBlocks(silenceFrames + skip, options), 0.0), 0, "silence");
   double noiseDbfs = -inf, noisePower = 0, dc = 0;
   for (const auto& channel : quiet) {
      const auto heard = std::span(channel).subspan(skip);
      const double r = rms(heard);
      noiseDbfs = std::max(noiseDbfs, rmsToDbfs(r));
      noisePower += r * r;
      double mean = 0;
      for (double v : heard)
         mean += v;
      mean /= double(heard.size());
      if (std::abs(mean) > std::abs(dc)) dc = mean;
   }

   // The tail: a noise burst, then silence in chunks until both levels are passed.
   device.reset();
   const auto burstFrames = size_t(kBurstSeconds * fs);
   const auto out = device.play(noise(burstFrames, dbfsToPeak(kBurstDbfs) / std::numbers::sqrt2),
                                wholeBlocks(burstFrames + lag, options) - burstFrames,
                                "the noise burst at -20 dBFS");
   const auto referenceFrames = size_t(kReferenceSeconds * fs);
   const auto window = std::max<size_t>(2, size_t(kWindowSeconds * fs));
   const size_t stop = burstFrames + lag; // where the output answers the end of the input
   std::vector<double> power;
   appendPower(power, out);
   double reference = 0;
   for (size_t i = stop - referenceFrames; i < stop; ++i)
      reference += power[i];
   reference /= double(referenceFrames);

   const double cap = std::max(0.0, options.tailCapSeconds);
   Json section = {{"status", "ok"}};
   const double thresholds[] = {reference * 1e-6, reference * 1e-12};
   const char* names[] = {"tail_s_60db", "tail_s_120db"};
   // A level at or below the noise floor with silent input cannot be reached.
   bool reachable[2];
   for (int t = 0; t < 2; ++t)
      reachable[t] = reference > 0 && thresholds[t] > 2 * noisePower;
   const auto chunk = wholeBlocks(size_t(kChunkSeconds * fs), options);
   const auto hold = size_t(kHoldSeconds * fs);
   const auto capFrames = size_t(cap * fs);
   size_t lastLoud[2] = {0, 0}; // frames after the stop where a window last reached each level
   size_t checked = stop;
   while (true) {
      for (; checked + window <= power.size(); checked += window) {
         double sum = 0;
         for (size_t i = checked; i < checked + window; ++i)
            sum += power[i];
         for (int t = 0; t < 2; ++t)
            if (sum / double(window) >= thresholds[t]) lastLoud[t] = checked + window - stop;
      }
      const size_t rendered = power.size() - stop;
      bool passed = true;
      for (int t = 0; t < 2; ++t)
         if (reachable[t] && rendered < lastLoud[t] + hold) passed = false;
      if (passed || rendered >= capFrames + window) break;
      appendPower(power,
                  device.play(std::vector<double>(chunk, 0.0), 0, "silence after the noise"));
   }

   const size_t rendered = power.size() - stop;
   double tail60 = std::numeric_limits<double>::quiet_NaN();
   for (int t = 0; t < 2; ++t) {
      const std::string name = names[t];
      if (!(reference > 0)) {
         putNumber(section, name, std::numeric_limits<double>::quiet_NaN(),
                   "no output while the noise plays");
         continue;
      }
      if (!reachable[t]) {
         putNumber(section, name, std::numeric_limits<double>::quiet_NaN(),
                   "the noise floor with silent input lies above this level");
         continue;
      }
      const bool capped = rendered < lastLoud[t] + hold;
      const double seconds = capped ? cap : lastAbove(power, stop, window, thresholds[t]) / fs;
      section[name] = seconds;
      section[name + "_capped"] = capped;
      if (t == 0) tail60 = seconds;
   }
   section["tail_cap_s"] = cap;
   const int32_t reported = device.reportedTail();
   section["tail_reported"] = reported;
   section["tail_reported_s"] = reported > 1 ? double(reported) / fs : 0.0;
   bool flagged = false;
   if (std::isfinite(tail60)) {
      if (reported > 1)
         flagged = double(reported) / fs <
                   tail60 - std::max(kShortestFlaggedTail, kTailTolerance * tail60);
      else
         flagged = tail60 > kShortestFlaggedTail;
   }
   section["tail_flagged"] = flagged;
   putNumber(section, "noise_floor_dbfs", noiseDbfs, "the output is digital silence");
   section["dc_offset"] = plughost::jsonNumber(dc);
   // The level the tail is read against, per output.
   section["reference_dbfs"] =
       plughost::jsonNumber(rmsToDbfs(std::sqrt(reference / double(quiet.size()))));
   return section;
}

} // namespace trimwise::host::analysis
