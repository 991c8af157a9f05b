// SPDX-License-Identifier: MIT
// Aliasing from stepped high coherent tones: the harmonics a nonlinearity makes above Nyquist
// fold back to |k f0 - m fs|, and with a coherent tone every one of them lands on a bin of its
// own. Their power, summed, is read against the fundamental.
#include "tools/hostlib/analysis/measure_util.h"
#include "tools/hostlib/analysis/measurements.h"

#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <set>

namespace trimwise::host::analysis {

namespace {

const double kTargets[] = {2000, 3000, 5000, 7000, 10000, 14000, 20000};
constexpr double kLevel = -6.0;
// The highest order whose alias is summed: far enough that what lies beyond is negligible for
// any curve but a discontinuous one.
constexpr size_t kOrders = 1000;
// The spectrogram: a sweep over the high octaves, cut into slices of one short window each.
constexpr double kSweepSeconds = 1.0, kSweepLow = 1000.0;
constexpr size_t kSlices = 64, kWindow = 512;

// The bins aliases of the tone on `bin` (of an n-point FFT) land on: every order up to
// kOrders, folded into [0, n / 2], except DC, the fundamental and the harmonics below Nyquist.
std::set<size_t> aliasBins(size_t bin, size_t n) {
   std::set<size_t> harmonics;
   for (size_t k = 1; k * bin * 2 < n; ++k)
      harmonics.insert(k * bin);
   std::set<size_t> bins;
   for (size_t k = 2; k <= kOrders; ++k) {
      size_t r = (k * bin) % n;
      if (r > n / 2) r = n - r;
      if (r != 0 && !harmonics.count(r)) bins.insert(r);
   }
   return bins;
}

Json spectrogram(Device& device, const AnalysisOptions& options) {
   const double fs = device.sampleRate();
   const auto frames = wholeBlocks(size_t(kSweepSeconds * fs), options);
   const double seconds = double(frames) / fs;
   const double high = 0.45 * fs, rate = std::log(high / kSweepLow);
   std::vector<double> x(frames);
   const double peak = dbfsToPeak(kLevel);
   for (size_t i = 0; i < frames; ++i) {
      const double t = double(i) / fs;
      x[i] = peak * std::sin(2 * std::numbers::pi * kSweepLow * seconds / rate *
                             (std::exp(t * rate / seconds) - 1));
   }
   const auto out = device.play(x, 0, "the high sweep at -6 dBFS");
   std::vector<double> window(kWindow);
   double windowSum = 0;
   for (size_t i = 0; i < kWindow; ++i) {
      window[i] = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * double(i) / double(kWindow));
      windowSum += window[i];
   }
   Json times = Json::array(), frequencies = Json::array(), power = Json::array();
   for (size_t k = 0; k < kWindow / 2; ++k)
      frequencies.push_back(double(k) * fs / double(kWindow));
   bool silent = false;
   const size_t hop = (frames - kWindow) / (kSlices - 1);
   for (size_t s = 0; s < kSlices; ++s) {
      std::vector<double> slice(kWindow);
      for (size_t i = 0; i < kWindow; ++i)
         slice[i] = out[0][s * hop + i] * window[i];
      const auto spectrum = realFft(slice);
      Json row = Json::array();
      for (size_t k = 0; k < kWindow / 2; ++k) {
         // dBFS: a full-scale sine on a bin reads 0 dB.
         const double db = amplitudeToDb(2 * std::abs(spectrum[k]) / windowSum);
         silent = silent || !std::isfinite(db);
         row.push_back(plughost::jsonNumber(db));
      }
      times.push_back((double(s * hop) + kWindow / 2.0) / fs);
      power.push_back(std::move(row));
   }
   Json result = {{"channel", 0},
                  {"level_dbfs", kLevel},
                  {"low_hz", kSweepLow},
                  {"high_hz", high},
                  {"time_s", std::move(times)},
                  {"frequency_hz", std::move(frequencies)},
                  {"power_db", std::move(power)}};
   if (silent) result["power_db_reason"] = "null where the output is exactly zero";
   return result;
}

} // namespace

Json measureAliasing(Device& device, const AnalysisOptions& options) {
   if (auto section = notApplicable(device)) return *section;
   const double fs = device.sampleRate();
   const size_t n = analysisFrames(fs);
   const size_t settle = settleToWholeBlocks(settleFrames(device), n, options);
   Json points = Json::array();
   device.reset();
   for (double target : kTargets) {
      const double f = coherentFrequency(target, fs, n);
      if (f >= 0.45 * fs) continue;
      const auto bin = size_t(std::lround(f * double(n) / fs));
      const auto bins = aliasBins(bin, n);
      TonePlayer tone(device, f);
      const auto out = tone.play(kLevel, settle + n, toneName(f, kLevel));
      for (size_t c = 0; c < out.size(); ++c) {
         const auto spectrum = realFft(std::span(out[c]).subspan(settle, n));
         const double fundamental = std::norm(spectrum[bin]);
         double alias = 0;
         for (size_t b : bins)
            alias += std::norm(spectrum[b]);
         Json point = {{"channel", c}, {"frequency_hz", f}, {"level_dbfs", kLevel}};
         if (!(fundamental > 0))
            putNumber(point, "alias_db", std::numeric_limits<double>::quiet_NaN(),
                      "no output at the tone's frequency");
         else
            putNumber(point, "alias_db", 10 * std::log10(alias / fundamental),
                      "no power at any alias bin");
         points.push_back(std::move(point));
      }
   }
   Json section = {{"status", "ok"}, {"orders", kOrders}, {"points", std::move(points)}};
   section["spectrogram"] = spectrogram(device, options);
   return section;
}

} // namespace trimwise::host::analysis
