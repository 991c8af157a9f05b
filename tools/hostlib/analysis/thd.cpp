// SPDX-License-Identifier: MIT
// Harmonic distortion from stepped coherent sines: each tone makes a whole number of periods in
// the analysed block, so the fundamental and every harmonic below Nyquist stand on one FFT bin
// each, with no window and no leakage.
#include "tools/hostlib/analysis/measure_util.h"
#include "tools/hostlib/analysis/measurements.h"

#include <cmath>
#include <complex>
#include <limits>

namespace trimwise::host::analysis {

namespace {

constexpr int kHarmonics = 10; // the highest harmonic summed
const double kTargets[] = {100.0, 1000.0, 5000.0};
const double kLevels[] = {-40.0, -30.0, -20.0, -12.0, -6.0, 0.0, 6.0};
// The tones and harmonics of the plot curves, one octave apart.
const double kSweepTargets[] = {50, 100, 200, 400, 800, 1600, 3200, 6400, 12800};
constexpr int kSweepHarmonics = 5;
constexpr double kSweepLevel = -6.0;

struct ToneResult {
   double fundamental = 0; // amplitude
   double thd = 0;         // ratios to the fundamental
   double thdn = 0;
   int harmonics = 0;            // the highest harmonic summed (below Nyquist)
   std::vector<double> harmonic; // ratios of harmonics 2.. to the fundamental
};

// Analyses `y` (N frames) holding a tone on bin `bin`.
ToneResult analyseTone(std::span<const double> y, size_t bin, double sampleRate, int maxHarmonic) {
   const size_t n = y.size();
   const auto spectrum = realFft(y);
   const auto power = [&](size_t k) { return std::norm(spectrum[k]); };
   ToneResult r;
   const double p1 = power(bin);
   r.fundamental = 2 * std::sqrt(p1) / double(n);
   double sum = 0;
   for (int k = 2; k <= maxHarmonic && size_t(k) * bin * 2 < n; ++k) {
      sum += power(k * bin);
      r.harmonic.push_back(p1 > 0 ? std::sqrt(power(k * bin) / p1) : 0.0);
      r.harmonics = k;
   }
   // THD+N: everything in 20 Hz .. 20 kHz (below Nyquist) but DC and the fundamental.
   const double df = sampleRate / double(n);
   const size_t low = std::max<size_t>(1, size_t(std::ceil(20.0 / df)));
   const size_t high = std::min(size_t(std::floor(20000.0 / df)), (n - 1) / 2);
   double rest = 0;
   for (size_t k = low; k <= high; ++k)
      if (k != bin) rest += power(k);
   const double nan = std::numeric_limits<double>::quiet_NaN();
   r.thd = p1 > 0 ? std::sqrt(sum / p1) : nan;
   r.thdn = p1 > 0 ? std::sqrt(rest / p1) : nan;
   return r;
}

// Puts the THD (or THD+N) ratio in dB, or null with why.
void putRatio(Json& object, const std::string& key, double ratio, double fundamental,
              const char* zeroReason) {
   if (!(fundamental > 0))
      putNumber(object, key, ratio, "no output at the tone's frequency");
   else
      putNumber(object, key, amplitudeToDb(ratio), zeroReason);
}

// The stimulus as the plug-in receives it: rounded to float when it processes 32-bit samples.
std::vector<double> asProcessed(std::vector<double> x, int precision) {
   if (precision == 32)
      for (auto& v : x)
         v = double(float(v));
   return x;
}

} // namespace

Json measureThd(Device& device, const AnalysisOptions& options) {
   if (auto section = notApplicable(device)) return *section;
   const double fs = device.sampleRate();
   const size_t n = analysisFrames(fs);
   const size_t settle = settleToWholeBlocks(settleFrames(device), n, options);
   const int32_t outputs = device.outputs();
   const int precision = options.precision == 32 ? 32 : device.precision();

   Json points = Json::array();
   double floor = -std::numeric_limits<double>::infinity();
   double floorN = floor;
   int harmonicsUsed = 0;
   for (double target : kTargets) {
      const double f = coherentFrequency(target, fs, n);
      if (f >= 0.45 * fs) continue;
      // Each frequency starts on a fresh instance: a compressor released slowly after the
      // loudest tone would still be moving at the quietest.
      device.reset();
      const auto bin = size_t(std::lround(f * double(n) / fs));
      TonePlayer tone(device, f);
      for (double level : kLevels) {
         const auto out = tone.play(level, settle + n, toneName(f, level));
         // The analyser's own floor: the same analysis of the stimulus, as the plug-in gets it.
         const auto x = asProcessed(sine(f, dbfsToPeak(level), fs, n), precision);
         const auto ideal = analyseTone(x, bin, fs, kHarmonics);
         floor = std::max(floor, amplitudeToDb(ideal.thd));
         floorN = std::max(floorN, amplitudeToDb(ideal.thdn));
         for (int32_t c = 0; c < outputs; ++c) {
            const auto r = analyseTone(std::span(out[c]).subspan(settle, n), bin, fs, kHarmonics);
            harmonicsUsed = std::max(harmonicsUsed, r.harmonics);
            Json point = {{"channel", c}, {"frequency_hz", f}, {"level_dbfs", level}};
            putRatio(point, "thd_db", r.thd, r.fundamental, "the harmonics are exactly zero");
            putRatio(point, "thdn_db", r.thdn, r.fundamental,
                     "nothing but the tone in 20 Hz to 20 kHz");
            if (r.harmonics < 2) point["thd_db_reason"] = "no harmonic lies below Nyquist";
            point["harmonics"] = r.harmonics;
            points.push_back(std::move(point));
         }
      }
   }

   // The plot curves: harmonics 2..5 against the fundamental from tones an octave apart, on the
   // first output, at half the block so that they stay cheap.
   Json sweepFrequencies = Json::array();
   Json curves = Json::object();
   for (int k = 2; k <= kSweepHarmonics; ++k)
      curves[std::to_string(k)] = Json::array();
   const size_t half = n / 2;
   const size_t sweepSettle = settleToWholeBlocks(settleFrames(device), half, options);
   for (double target : kSweepTargets) {
      const double f = coherentFrequency(target, fs, half);
      if (f >= 0.45 * fs) break;
      const auto bin = size_t(std::lround(f * double(half) / fs));
      TonePlayer tone(device, f);
      const auto out = tone.play(kSweepLevel, sweepSettle + half, toneName(f, kSweepLevel));
      const auto r =
          analyseTone(std::span(out[0]).subspan(sweepSettle, half), bin, fs, kSweepHarmonics);
      sweepFrequencies.push_back(f);
      for (int k = 2; k <= kSweepHarmonics; ++k) {
         const double db = size_t(k - 2) < r.harmonic.size() && r.fundamental > 0
                               ? amplitudeToDb(r.harmonic[size_t(k - 2)])
                               : std::numeric_limits<double>::quiet_NaN();
         curves[std::to_string(k)].push_back(plughost::jsonNumber(db));
      }
   }

   Json section = {{"status", "ok"}, {"harmonics", kHarmonics}};
   if (harmonicsUsed < kHarmonics) section["harmonics_used"] = harmonicsUsed;
   putNumber(section, "floor_db", floor, "the stimulus has no harmonics at all");
   putNumber(section, "floor_thdn_db", floorN, "the stimulus is a pure tone");
   section["points"] = std::move(points);
   section["sweep"] = {
       {"channel", 0},
       {"level_dbfs", kSweepLevel},
       {"frequency_hz", std::move(sweepFrequencies)},
       {"harmonic_db", std::move(curves)},
       {"harmonic_db_reason", "null where the harmonic lies above Nyquist or is exactly zero"}};
   return section;
}

} // namespace trimwise::host::analysis
