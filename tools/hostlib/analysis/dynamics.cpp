// SPDX-License-Identifier: MIT
// Dynamics: the static transfer curve from settled tone bursts, and attack and release from
// 20 dB level steps. The tone has a whole number of frames per period, so that the power over
// any one period is the same whatever the phase: the gain envelope read through a one-period
// window has no ripple, and a gain that settles reads exactly flat.
#include "tools/hostlib/analysis/measure_util.h"
#include "tools/hostlib/analysis/measurements.h"

#include <cmath>
#include <limits>

namespace trimwise::host::analysis {

namespace {

// The static curve's levels; kStepDb is a whole number of its steps.
constexpr double kLowest = -90.0, kHighest = 6.0, kStaticStep = 2.0;
constexpr double kStepDb = 20.0;
// A burst is settled when its level moves less than this from one chunk to the next.
constexpr double kSettledDb = 0.01;
constexpr double kBurstCapSeconds = 0.5; // the longest a static-curve burst is held
constexpr double kStepCapSeconds = 4.0;  // the longest a level step is held
// Below this change of gain over the 20 dB step there is nothing to time.
constexpr double kLeastGainChangeDb = 0.5;
constexpr double kCover = 0.6321205588285577; // 1 - 1/e

class Bursts {
public:
   Bursts(Device& device, const AnalysisOptions& options)
       : device_(device), options_(options),
         period_(size_t(std::max(2L, std::lround(device.sampleRate() / 1000.0)))),
         chunk_(period_ *
                size_t(std::max(1L, std::lround(0.02 * device.sampleRate() / double(period_))))),
         tone_(device, device.sampleRate() / double(period_)) {}

   double frequency() const { return tone_.frequency(); }
   bool settled() const { return settled_; }
   size_t period() const { return period_; }
   void record(std::vector<double>* input, Channels* output) {
      tone_.recordInput(input);
      output_ = output;
   }

   // Holds the tone at `dbfs` until every output's level, over whole periods, settles within
   // `tolerance` dB between chunks (or `capSeconds` pass). Returns each output's level; notes
   // in settled() whether they settled.
   std::vector<double> hold(double dbfs, double tolerance, double capSeconds) {
      settled_ = false;
      const auto name = toneName(frequency(), dbfs);
      // The output lags by the reported latency: what comes out first answers the old level.
      const size_t lag = size_t(std::max(0, device_.reportedLatency()));
      if (lag > 0) play(dbfs, wholeBlocks(lag, options_), name);
      // Each call plays whole blocks; the level is read over the last whole periods.
      const size_t step = wholeBlocks(chunk_, options_);
      const size_t cap =
          std::max<size_t>(2, size_t(capSeconds * device_.sampleRate() / double(step)));
      std::vector<double> last;
      for (size_t i = 0; i < cap; ++i) {
         const auto out = play(dbfs, step, name);
         std::vector<double> levels;
         bool settled = !last.empty();
         for (size_t c = 0; c < out.size(); ++c) {
            levels.push_back(rmsToDbfs(rms(std::span(out[c]).last(chunk_))));
            if (settled && !(levels[c] == last[c] || std::abs(levels[c] - last[c]) <= tolerance))
               settled = false;
         }
         last = std::move(levels);
         if (settled) {
            settled_ = true;
            break;
         }
      }
      return last;
   }

private:
   Channels play(double dbfs, size_t frames, const std::string& name) {
      auto out = tone_.play(dbfs, frames, name);
      if (output_) {
         output_->resize(out.size());
         for (size_t c = 0; c < out.size(); ++c)
            (*output_)[c].insert((*output_)[c].end(), out[c].begin(), out[c].end());
      }
      return out;
   }

   Device& device_;
   const AnalysisOptions& options_;
   size_t period_, chunk_;
   TonePlayer tone_;
   Channels* output_ = nullptr;
   bool settled_ = false;
};

// Sums of squares from the start, for the power over any window.
std::vector<long double> cumulativePower(const std::vector<double>& x) {
   std::vector<long double> sum(x.size() + 1, 0.0L);
   for (size_t i = 0; i < x.size(); ++i)
      sum[i + 1] = sum[i] + static_cast<long double>(x[i]) * x[i];
   return sum;
}

// The time in seconds from `from` (a frame of the output) until the gain envelope covers 63 %
// of its change from the level before to the level at `until`; NaN when it never does.
double coverTime(const std::vector<double>& gainDb, size_t from, size_t until, size_t period,
                 double sampleRate) {
   const auto mean = [&](size_t end) {
      double sum = 0;
      for (size_t i = end - period; i < end; ++i)
         sum += gainDb[i];
      return sum / double(period);
   };
   // The windows at `from` - period and at `until` lie entirely before each step.
   const double before = mean(from - period), after = mean(until - period);
   const double target = before + kCover * (after - before);
   const bool rising = after > before;
   for (size_t i = from; i < until; ++i) {
      if (rising ? gainDb[i] >= target : gainDb[i] <= target) {
         double t = double(i);
         if (i > from && gainDb[i] != gainDb[i - 1])
            t -= (gainDb[i] - target) / (gainDb[i] - gainDb[i - 1]);
         return std::max(0.0, t - double(from)) / sampleRate;
      }
   }
   return std::numeric_limits<double>::quiet_NaN();
}

} // namespace

Json measureDynamics(Device& device, const AnalysisOptions& options) {
   if (auto section = notApplicable(device)) return *section;
   const double fs = device.sampleRate();
   const int32_t outputs = device.outputs();

   // The static curve, rising from the quietest burst so that each step is a small one.
   std::vector<double> inputs;
   for (double level = kLowest; level <= kHighest + 1e-9; level += kStaticStep)
      inputs.push_back(level);
   Channels curve(static_cast<size_t>(outputs));
   device.reset();
   Bursts bursts(device, options);
   std::vector<bool> settled;
   for (double level : inputs) {
      const auto levels = bursts.hold(level, kSettledDb, kBurstCapSeconds);
      settled.push_back(bursts.settled());
      for (size_t c = 0; c < levels.size() && c < curve.size(); ++c)
         curve[c].push_back(levels[c]);
   }
   Json section = {{"status", "ok"}, {"frequency_hz", bursts.frequency()}};
   section["input_dbfs"] = inputs;
   Json outputDbfs = Json::array();
   bool silent = false;
   for (const auto& levels : curve) {
      Json list = Json::array();
      for (double v : levels) {
         list.push_back(plughost::jsonNumber(v));
         silent = silent || !std::isfinite(v);
      }
      outputDbfs.push_back(std::move(list));
   }
   section["output_dbfs"] = std::move(outputDbfs);
   if (silent) section["output_dbfs_reason"] = "null where the output is silent";
   // Levels whose output still moved when the burst ended (a plug-in that changes over time).
   Json unsettled = Json::array();
   for (size_t i = 0; i < inputs.size(); ++i)
      if (!settled[i]) unsettled.push_back(inputs[i]);
   section["unsettled_dbfs"] = std::move(unsettled);

   // The 20 dB step where the gain changes most, on the output where it changes most.
   double largest = 0;
   size_t low = 0, channel = 0;
   const auto span = size_t(std::lround(kStepDb / kStaticStep));
   for (size_t c = 0; c < curve.size(); ++c)
      for (size_t i = 0; i + span < curve[c].size(); ++i) {
         const double change = (curve[c][i + span] - inputs[i + span]) - (curve[c][i] - inputs[i]);
         if (std::isfinite(change) && std::abs(change) > largest) {
            largest = std::abs(change);
            low = i;
            channel = c;
         }
      }
   section["step_db"] = kStepDb;
   // Times are read through a one-period window: shorter ones show as about this long.
   section["time_resolution_ms"] = 1000.0 * double(bursts.period()) / fs;
   if (largest < kLeastGainChangeDb) {
      const char* reason = "the gain does not change with level";
      putNumber(section, "attack_ms", std::numeric_limits<double>::quiet_NaN(), reason);
      putNumber(section, "release_ms", std::numeric_limits<double>::quiet_NaN(), reason);
      return section;
   }
   const double lowDbfs = inputs[low], highDbfs = lowDbfs + kStepDb;
   section["step_low_dbfs"] = lowDbfs;
   section["step_high_dbfs"] = highDbfs;
   section["step_channel"] = channel;
   section["gain_change_db"] = largest;
   const auto nothingToTime = [&](const char* reason) {
      putNumber(section, "attack_ms", std::numeric_limits<double>::quiet_NaN(), reason);
      putNumber(section, "release_ms", std::numeric_limits<double>::quiet_NaN(), reason);
      return section;
   };
   const char* moving = "the output level does not settle: the plug-in changes over time";
   if (!settled[low] || !settled[low + span]) return nothingToTime(moving);

   // Low, a step up, and back down, each held until the gain settles; the whole record is kept.
   std::vector<double> input;
   Channels output;
   device.reset();
   Bursts steps(device, options);
   steps.record(&input, &output);
   const double tolerance = std::max(1e-3, 1e-4 * largest);
   bool steady = true;
   steps.hold(lowDbfs, kSettledDb, kBurstCapSeconds);
   steady = steady && steps.settled();
   const size_t up = input.size();
   steps.hold(highDbfs, tolerance, kStepCapSeconds);
   steady = steady && steps.settled();
   const size_t down = input.size();
   steps.hold(lowDbfs, tolerance, kStepCapSeconds);
   steady = steady && steps.settled();
   const size_t end = input.size();
   if (!steady) return nothingToTime(moving);
   if (channel >= output.size())
      throw MeasurementFailed("the plug-in stopped giving output " + std::to_string(channel));

   // The gain in dB at every output frame: output power over the one period centred there
   // against the input power over the same period, taken the reported latency earlier.
   const auto lag = size_t(std::max(0, device.reportedLatency()));
   const size_t p = steps.period();
   const auto inPower = cumulativePower(input);
   const auto outPower = cumulativePower(output[channel]);
   std::vector<double> gainDb(end, std::numeric_limits<double>::quiet_NaN());
   for (size_t i = lag + p / 2; i + p - p / 2 <= end; ++i) {
      const size_t o = i - p / 2, n = o - lag;
      gainDb[i] =
          double(10 * std::log10((outPower[o + p] - outPower[o]) / (inPower[n + p] - inPower[n])));
   }
   // Each step reaches the output `lag` frames after the input changed; the gain at the end of
   // each held level is its settled value.
   const double attack = coverTime(gainDb, up + lag, down + lag - p / 2, p, fs);
   const double release = coverTime(gainDb, down + lag, end - p, p, fs);
   const char* reason = "the gain did not cover 63 % of its change while the level was held";
   putNumber(section, "attack_ms", attack * 1000, reason);
   putNumber(section, "release_ms", release * 1000, reason);
   return section;
}

} // namespace trimwise::host::analysis
