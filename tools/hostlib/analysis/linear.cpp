// SPDX-License-Identifier: MIT
// The linear response from an exponential sine sweep: the impulse response by spectral division,
// its transform evaluated exactly at each frequency of the grid, the latency from its peak, and
// how far the plug-in can be trusted to be linear and time-invariant from two more sweeps.
#include "tools/hostlib/analysis/dsp.h"
#include "tools/hostlib/analysis/measurements.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <limits>
#include <numbers>
#include <string>

namespace trimwise::host::analysis {
namespace {

using plughost::jsonNumber;
using Complex = std::complex<double>;

constexpr double kSweepStartHz = 10.0;
constexpr double kSweepSeconds = 1.0; // at least; rounded up to a power of two of frames
constexpr double kLevelStepDb = -20.0;
constexpr double kChunkSeconds = 0.05; // the decay after a sweep is rendered in chunks this long
// The response is cut where the output has fallen this far below its loudest chunk: what is cut
// off then changes the response by less than 0.001 dB, and a long reverb is not rendered and
// transformed for seconds more below anything a plot or a tolerance can show.
constexpr double kDecayDb = -100.0;
constexpr double kSilentSeconds = 5.0;
// The residual, relative to the response, above which a plug-in counts as changing over time or
// with level: at -40 dB the response of one run can differ from another's by up to 1 % in
// amplitude (0.09 dB), the most an "exact" response may carry. Arithmetic noise of 32-bit
// processing lies near -130 dB; an LFO or a compressor lands far above -40 dB.
constexpr double kVariantResidualDb = -40.0;
// How far the residual at the lower level must exceed the one between two runs at the same level
// to count as the level's doing (a factor of two in amplitude).
constexpr double kLevelMarginDb = 6.0;
// A peak of the impulse response dominates when every sample more than 3 frames from it is at
// least 6 dB lower.
constexpr double kDominanceDb = 6.0;
constexpr int kPeakHalfWidth = 3;

size_t nextPowerOfTwo(size_t n) {
   size_t p = 1;
   while (p < n)
      p <<= 1;
   return p;
}

// `frames` rounded up to whole processing blocks: every call then hands the plug-in full blocks
// only, as hosts mostly do (some plug-ins go wrong after a short one, which is not what is
// measured here).
size_t wholeBlocks(size_t frames, const AnalysisOptions& options) {
   const auto block = static_cast<size_t>(std::max(options.blockSize, 1));
   return std::max<size_t>(1, (frames + block - 1) / block) * block;
}

std::string levelText(double dbfs) {
   char text[48];
   std::snprintf(text, sizeof text, "%g dBFS", dbfs);
   return text;
}

// An exponential sweep from `f1` to `f2` over `frames` frames (its phase grows as the
// exponential of time, so each octave takes as long as the next), faded in over its first half
// octave and out over its last tenth of an octave with half Hann windows.
std::vector<double> exponentialSweep(double f1, double f2, double rate, size_t frames,
                                     double amplitude) {
   const double seconds = double(frames) / rate;
   const double l = seconds / std::log(f2 / f1); // seconds per factor e of frequency
   std::vector<double> x(frames);
   for (size_t n = 0; n < frames; ++n) {
      const double t = double(n) / rate;
      x[n] = amplitude * std::sin(2.0 * std::numbers::pi * f1 * l * (std::exp(t / l) - 1.0));
   }
   const auto fade = [&](size_t from, size_t to, bool in) {
      const size_t n = to - from;
      for (size_t i = 0; i < n; ++i) {
         const double w = 0.5 - 0.5 * std::cos(std::numbers::pi * double(i) / double(n));
         x[in ? from + i : to - 1 - i] *= w;
      }
   };
   const auto frameAt = [&](double f) {
      return std::min(frames, static_cast<size_t>(l * std::log(f / f1) * rate));
   };
   fade(0, std::max<size_t>(frameAt(f1 * std::numbers::sqrt2), 1), true);
   fade(std::min(frameAt(f2 * std::pow(2.0, -0.1)), frames - 1), frames, false);
   return x;
}

double loudest(const Channels& chunk) {
   double level = 0.0;
   for (const auto& c : chunk)
      level = std::max(level, rms(c));
   return level;
}

void append(Channels& to, const Channels& more) {
   for (size_t c = 0; c < to.size() && c < more.size(); ++c)
      to[c].insert(to[c].end(), more[c].begin(), more[c].end());
}

// Plays silence after what `out` holds until the output has decayed: kDecayDb below its loudest
// chunk, or no longer falling (a noise floor: less than 1 dB lower over a second), or the cap.
// Returns the frames of silence played.
size_t renderDecay(Device& device, Channels& out, const AnalysisOptions& options,
                   const std::string& signal) {
   const double rate = device.sampleRate();
   const size_t chunk = wholeBlocks(static_cast<size_t>(rate * kChunkSeconds), options);
   const auto cap = static_cast<size_t>(std::max(0.0, options.tailCapSeconds) * rate);
   const size_t perSecond = static_cast<size_t>(1.0 / kChunkSeconds);
   double reference = 0.0;
   for (size_t at = 0; !out.empty() && at < out[0].size(); at += chunk) {
      Channels part;
      for (const auto& c : out)
         part.emplace_back(c.begin() + long(at), c.begin() + long(std::min(c.size(), at + chunk)));
      reference = std::max(reference, loudest(part));
   }
   std::vector<double> levels;
   size_t extra = 0;
   while (extra < cap || extra < 2 * chunk) {
      const Channels more = device.play({}, chunk, signal);
      append(out, more);
      extra += chunk;
      const double level = loudest(more);
      levels.push_back(level);
      reference = std::max(reference, level);
      if (levels.size() < 2) continue;
      if (reference > 0.0 && level <= reference * dbfsToPeak(kDecayDb)) break;
      // Nothing has come out: a long delay may still bring the sweep, but not after this.
      if (reference == 0.0 && double(extra) >= kSilentSeconds * rate) break;
      if (levels.size() > 2 * perSecond) {
         const double before = *std::min_element(levels.begin(), levels.end() - long(perSecond));
         const double recent = *std::min_element(levels.end() - long(perSecond), levels.end());
         if (recent > before * 0.9) break;
      }
   }
   return extra;
}

// The impulse response of each output from the sweep's spectrum `sx` (of `size` points) and the
// outputs `y`, by spectral division: H = Y X* / (|X|^2 + e), cut to `length` frames. The floor
// e, 120 dB below the sweep's strongest bin, only touches bins the sweep leaves empty (far below
// its start), so that noise there is not blown up; inside the band the division is exact.
Channels impulseResponses(const Spectrum& sx, const Channels& y, size_t size, size_t length) {
   double strongest = 0.0;
   for (const auto& v : sx)
      strongest = std::max(strongest, std::norm(v));
   const double floor = strongest * 1e-12;
   Channels h;
   for (const auto& channel : y) {
      Spectrum s = realFft(channel, size);
      for (size_t k = 0; k < s.size(); ++k)
         s[k] = s[k] * std::conj(sx[k]) / (std::norm(sx[k]) + floor);
      std::vector<double> ir = inverseRealFft(s, size);
      ir.resize(length);
      h.push_back(std::move(ir));
   }
   return h;
}

// H(w) = sum h[n] e^{-jwn} and G(w) = sum n h[n] e^{-jwn} of every channel at each frequency:
// the transform exactly at w, and the group delay Re(G / H) without differencing a wrapped
// phase. The sums run in blocks of kBlock frames against a table of e^{-jwm} per frequency:
// with n = s + m, H = sum_s e^{-jws} A_s and G = sum_s e^{-jws} (s A_s + B_s), where A_s and B_s
// are the block's sums of h[n] e^{-jwm} and m h[n] e^{-jwm}. No phasor is carried from frame to
// frame, so no rounding builds up; the inner sums keep several accumulators so that they
// pipeline, and a reverb's long response is taken a cache-sized tile at a time for every
// frequency before the next.
struct Transform {
   Complex h, g;
};

constexpr size_t kBlock = 256;
constexpr size_t kLanes = 2;
constexpr size_t kTile = 32 * kBlock;

// [frequency][channel]
std::vector<std::vector<Transform>> transforms(const Channels& irs, std::span<const double> ws) {
   const size_t length = irs.empty() ? 0 : irs[0].size();
   std::vector<std::vector<Transform>> out(ws.size(), std::vector<Transform>(irs.size()));
   std::vector<double> table(ws.size() * 4 * kBlock);
   for (size_t f = 0; f < ws.size(); ++f) {
      double* t = table.data() + f * 4 * kBlock;
      for (size_t m = 0; m < kBlock; ++m) {
         t[m] = std::cos(ws[f] * double(m));
         t[kBlock + m] = -std::sin(ws[f] * double(m));
         t[2 * kBlock + m] = double(m) * t[m];
         t[3 * kBlock + m] = double(m) * t[kBlock + m];
      }
   }
   for (size_t tile = 0; tile < length; tile += kTile) {
      const size_t tileEnd = std::min(length, tile + kTile);
      for (size_t f = 0; f < ws.size(); ++f) {
         const double* tr = table.data() + f * 4 * kBlock;
         const double* ti = tr + kBlock;
         const double* mr = ti + kBlock;
         const double* mi = mr + kBlock;
         for (size_t s = tile; s < tileEnd; s += kBlock) {
            const size_t n = std::min(kBlock, tileEnd - s);
            const Complex base = std::polar(1.0, -ws[f] * double(s));
            for (size_t c = 0; c < irs.size(); ++c) {
               const double* ir = irs[c].data() + s;
               double ar[kLanes] = {}, ai[kLanes] = {}, br[kLanes] = {}, bi[kLanes] = {};
               size_t m = 0;
               for (; m + kLanes <= n; m += kLanes) {
                  for (size_t u = 0; u < kLanes; ++u) {
                     const double x = ir[m + u];
                     ar[u] += x * tr[m + u];
                     ai[u] += x * ti[m + u];
                     br[u] += x * mr[m + u];
                     bi[u] += x * mi[m + u];
                  }
               }
               for (; m < n; ++m) {
                  ar[0] += ir[m] * tr[m];
                  ai[0] += ir[m] * ti[m];
                  br[0] += ir[m] * mr[m];
                  bi[0] += ir[m] * mi[m];
               }
               Complex a = 0, b = 0;
               for (size_t u = 0; u < kLanes; ++u) {
                  a += Complex(ar[u], ai[u]);
                  b += Complex(br[u], bi[u]);
               }
               out[f][c].h += base * a;
               out[f][c].g += base * (double(s) * a + b);
            }
         }
      }
   }
   return out;
}

// Sum over channels of |a - scale b|^2 against |a|^2, in dB; -infinity when they are equal.
double residualDb(const Channels& a, const Channels& b, double scale) {
   long double diff = 0, total = 0;
   for (size_t c = 0; c < a.size(); ++c) {
      for (size_t n = 0; n < a[c].size(); ++n) {
         const long double d = a[c][n] - scale * b[c][n];
         diff += d * d;
         total += static_cast<long double>(a[c][n]) * a[c][n];
      }
   }
   if (total == 0) return std::numeric_limits<double>::quiet_NaN();
   return diff == 0 ? -std::numeric_limits<double>::infinity()
                    : 10.0 * std::log10(double(diff / total));
}

// A number, or null with "<key>_reason".
void put(Json& section, const std::string& key, double value, const std::string& reason) {
   section[key] = jsonNumber(value);
   if (section[key].is_null()) section[key + "_reason"] = reason;
}

struct Latency {
   bool found = false;
   int64_t frames = 0;
   std::string reason;
   double dominanceDb = 0.0;
};

// The lag of the impulse response's absolute peak, if it stands out.
Latency peakLatency(const Channels& h) {
   Latency l;
   size_t channel = 0, at = 0;
   double peak = 0.0;
   for (size_t c = 0; c < h.size(); ++c) {
      for (size_t n = 0; n < h[c].size(); ++n) {
         if (std::fabs(h[c][n]) > peak) {
            peak = std::fabs(h[c][n]);
            channel = c;
            at = n;
         }
      }
   }
   if (peak == 0.0) {
      l.reason = "the output is silent";
      return l;
   }
   double next = 0.0;
   for (size_t n = 0; n < h[channel].size(); ++n) {
      if (n + kPeakHalfWidth < at || n > at + kPeakHalfWidth)
         next = std::max(next, std::fabs(h[channel][n]));
   }
   l.dominanceDb =
       next > 0.0 ? 20.0 * std::log10(peak / next) : std::numeric_limits<double>::infinity();
   if (l.dominanceDb < kDominanceDb) {
      char text[128];
      std::snprintf(text, sizeof text,
                    "no peak dominates the impulse response (the highest stands %.1f dB above "
                    "the next)",
                    l.dominanceDb);
      l.reason = text;
      return l;
   }
   l.found = true;
   l.frames = int64_t(at);
   return l;
}

// The magnitude in dB at each grid frequency averaged as power over 1/`n` octave around it, from
// the response's spectrum, zero-padded until the narrowest band (at the lowest frequency) holds
// several bins; where a band holds none, the exact value `db` stays.
std::vector<double> smoothed(std::span<const double> ir, double rate,
                             const std::vector<double>& frequency, const std::vector<double>& db,
                             int n) {
   const double half = std::pow(2.0, 0.5 / n);
   const double narrowest = frequency.front() * (half - 1.0 / half);
   const size_t size = nextPowerOfTwo(
       std::max(ir.size(), static_cast<size_t>(8.0 * rate / std::max(narrowest, 1e-3))));
   const Spectrum spectrum = realFft(ir, size);
   const double binHz = rate / double(size);
   std::vector<double> out(db);
   for (size_t i = 0; i < frequency.size(); ++i) {
      const auto low = static_cast<size_t>(std::ceil(frequency[i] / half / binHz));
      const auto high = std::min(spectrum.size() - 1,
                                 static_cast<size_t>(std::floor(frequency[i] * half / binHz)));
      double sum = 0.0;
      for (size_t k = low; k <= high; ++k)
         sum += std::norm(spectrum[k]);
      if (high >= low) out[i] = 10.0 * std::log10(sum / double(high - low + 1));
   }
   return out;
}

} // namespace

Json measureLinear(Device& device, const AnalysisOptions& options) {
   const double rate = device.sampleRate();
   const std::string level = levelText(options.sweepLevelDbfs);
   const std::string lower = levelText(options.sweepLevelDbfs + kLevelStepDb);
   const double amplitude = dbfsToPeak(options.sweepLevelDbfs);
   const double step = dbfsToPeak(kLevelStepDb);
   const size_t frames =
       wholeBlocks(nextPowerOfTwo(static_cast<size_t>(rate * kSweepSeconds)), options);
   const double f2 = rate / 2.0;
   const std::vector<double> sweep = exponentialSweep(kSweepStartHz, f2, rate, frames, amplitude);
   std::vector<double> quiet(sweep);
   for (auto& v : quiet)
      v *= step;

   // Three sweeps on one fresh instance, each followed by silence until the first has decayed:
   // the first two show whether it changes with time, the third, 20 dB lower, with level.
   device.reset();
   if (device.outputs() < 1) {
      const Json none = {{"status", "not_applicable"}, {"reason", "the plug-in has no outputs"}};
      return Json{{"latency", none}, {"linear", none}};
   }
   Channels y1 = device.play(sweep, 0, "the sweep at " + level);
   const size_t extra = renderDecay(device, y1, options, "silence after the sweep at " + level);
   const Channels y2 = device.play(sweep, extra, "the second sweep at " + level);
   const Channels y3 = device.play(quiet, extra, "the sweep at " + lower);
   const int32_t reported = device.reportedLatency();

   // Every output holds all of its response, so the division in as many points is exact; a
   // distorting plug-in's harmonics land before time 0, at the end of the circle, outside the
   // response kept.
   const size_t size = nextPowerOfTwo(frames + extra);
   const size_t length = extra;
   const Spectrum sx = realFft(sweep, size);
   Spectrum quietSpectrum(sx);
   for (auto& v : quietSpectrum)
      v *= step;
   const Channels h1 = impulseResponses(sx, y1, size, length);
   const Channels h2 = impulseResponses(sx, y2, size, length);
   const Channels h3 = impulseResponses(quietSpectrum, y3, size, length);

   const Latency latency = peakLatency(h1);
   Json lat = {{"status", "ok"}, {"reported", reported}};
   if (latency.found) {
      lat["measured"] = latency.frames;
      lat["flagged"] = std::llabs(latency.frames - reported) > 1;
   } else {
      lat["measured"] = nullptr;
      lat["measured_reason"] = latency.reason;
      lat["flagged"] = false;
   }
   // How far the peak stands above the rest of the response.
   put(lat, "dominance_db", latency.found || latency.dominanceDb > 0 ? latency.dominanceDb : NAN,
       latency.found ? "nothing else in the response" : latency.reason);
   const double delay = latency.found ? double(latency.frames) : 0.0;

   const std::vector<double> grid = logFrequencies(20.0, 0.45 * rate, 24);
   const size_t outputs = h1.size();
   std::vector<std::vector<double>> db(outputs, std::vector<double>(grid.size()));
   std::vector<Json> phase(outputs, Json::array()), group(outputs, Json::array());
   bool silentSomewhere = false;
   std::vector<double> ws(grid.size());
   for (size_t i = 0; i < grid.size(); ++i)
      ws[i] = 2.0 * std::numbers::pi * grid[i] / rate;
   const auto all = transforms(h1, ws);
   for (size_t i = 0; i < grid.size(); ++i) {
      const double w = ws[i];
      const std::vector<Transform>& t = all[i];
      for (size_t c = 0; c < outputs; ++c) {
         db[c][i] = amplitudeToDb(std::abs(t[c].h));
         if (std::abs(t[c].h) == 0.0) {
            silentSomewhere = true;
            phase[c].push_back(nullptr);
            group[c].push_back(nullptr);
            continue;
         }
         double degrees = std::arg(t[c].h * std::polar(1.0, w * delay)) * 180.0 / std::numbers::pi;
         if (degrees <= -180.0) degrees += 360.0;
         phase[c].push_back(jsonNumber(degrees));
         group[c].push_back(jsonNumber((t[c].g / t[c].h).real()));
      }
   }
   Json magnitude = Json::array();
   for (size_t c = 0; c < outputs; ++c) {
      std::vector<double>& channel = db[c];
      if (options.smoothing > 0) channel = smoothed(h1[c], rate, grid, channel, options.smoothing);
      Json m = Json::array();
      for (double v : channel)
         m.push_back(jsonNumber(v));
      magnitude.push_back(m);
   }

   const double timeResidual = residualDb(h1, h2, 1.0);
   // Each response is divided by its own sweep, so a linear plug-in gives the same one twice.
   const double levelResidual = residualDb(h1, h3, 1.0);
   Json confidence = Json::object();
   const auto residual = [&](const char* key, double db) {
      put(confidence, key, db,
          std::isnan(db) ? "the output is silent" : "the runs are identical to the last bit");
   };
   residual("time_residual_db", timeResidual);
   residual("level_residual_db", levelResidual);
   const bool timeVariant = timeResidual > kVariantResidualDb;
   // A plug-in that changes over time differs at the lower level as much as between the first
   // two runs; only a residual well above that one is the level's doing.
   const bool levelDependent =
       levelResidual > kVariantResidualDb &&
       (std::isnan(timeResidual) || levelResidual > timeResidual + kLevelMarginDb);
   confidence["time_variant"] = timeVariant;
   confidence["level_dependent"] = levelDependent;
   confidence["threshold_db"] = kVariantResidualDb;
   // 1 for residuals at or below -60 dB, falling to 0 at -20 dB.
   const double worst = std::max(std::isnan(timeResidual) ? -999.0 : timeResidual,
                                 std::isnan(levelResidual) ? -999.0 : levelResidual);
   confidence["value"] = std::clamp((-worst - 20.0) / 40.0, 0.0, 1.0);

   Json lin = {{"status", "ok"},
               {"level_dbfs", options.sweepLevelDbfs},
               {"sweep", {{"start_hz", kSweepStartHz}, {"end_hz", f2}, {"frames", frames}}},
               {"frequency_hz", grid},
               {"magnitude_db", magnitude},
               {"phase_deg", Json(phase)},
               {"phase_delay_frames", latency.found ? latency.frames : 0},
               {"group_delay_frames", Json(group)},
               {"confidence", confidence},
               {"smoothing", options.smoothing > 0
                                 ? Json("1/" + std::to_string(options.smoothing) + " octave")
                                 : Json(nullptr)},
               {"ir_length_frames", length}};
   if (silentSomewhere) {
      lin["magnitude_db_reason"] = "the output is silent at some frequencies";
      lin["phase_deg_reason"] = "no phase where the output is silent";
      lin["group_delay_frames_reason"] = "no group delay where the output is silent";
   }
   return Json{{"latency", lat}, {"linear", lin}};
}

} // namespace trimwise::host::analysis
