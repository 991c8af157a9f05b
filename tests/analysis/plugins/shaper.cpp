// SPDX-License-Identifier: MIT
// A waveshaper, y = g x / (1 + |g x|), applied to each frame: its harmonics above Nyquist fold
// back as aliases. Built with SHAPER_OVERSAMPLING 4, the curve runs at four times the rate
// between two linear-phase FIR low-passes (449 taps, Kaiser window): flat within 0.001 dB to 0.45
// of the base rate, at least 80 dB down from 0.5 of it. The pair delays by 112 frames, which the
// plug-in reports.
// "Drive": g in dB = 24 dB * value.
#include "tests/analysis/plugins/known_answer.h"

#include <array>
#include <cmath>
#include <numbers>

#ifndef SHAPER_OVERSAMPLING
#define SHAPER_OVERSAMPLING 1
#endif

namespace {

constexpr int kFactor = SHAPER_OVERSAMPLING;
static_assert(kFactor == 1 || kFactor == 4);
constexpr int kTaps = 449; // 4 m + 1: an integral delay of m frames
constexpr int kPhaseTaps = (kTaps + kFactor - 1) / kFactor; // taps of each polyphase branch
constexpr double kCutoff = 0.475;                           // of the base rate
constexpr double kKaiserBeta = 7.9;                         // about 80 dB of stopband

double besselI0(double x) {
   double sum = 1.0, term = 1.0;
   for (int k = 1; k < 50; ++k) {
      term *= (x / (2.0 * k)) * (x / (2.0 * k));
      sum += term;
   }
   return sum;
}

class Shaper : public KnownAnswer<Shaper> {
public:
   explicit Shaper(audioMasterCallback audioMaster)
       : KnownAnswer(audioMaster, kFactor > 1 ? "KA Shaper 4x" : "KA Shaper",
                     fourCharCode('K', 'A', 'w', kFactor > 1 ? '4' : '1'),
                     {{"Drive", "dB", 0.25f}}) {
      if constexpr (kFactor > 1) {
         design();
         setInitialDelay((kTaps - 1) / kFactor);
      }
      prepare();
   }

   template <typename T>
   void run(T** inputs, T** outputs, int32_t frames) {
      for (int c = 0; c < 2; ++c) {
         for (int32_t i = 0; i < frames; ++i) {
            const double x = static_cast<double>(inputs[c][i]);
            if constexpr (kFactor == 1)
               outputs[c][i] = static_cast<T>(shape(x));
            else
               outputs[c][i] = static_cast<T>(oversampled(c, x));
         }
      }
   }

protected:
   double physical(int32_t, double value) const override { return 24.0 * value; }
   void update() override { drive = knownAnswerGain(parameter(0)); }
   void clear() override {
      for (int c = 0; c < 2; ++c) {
         upHistory[c].fill(0.0);
         downHistory[c].fill(0.0);
      }
      upNext = {};
      downNext = {};
   }

private:
   double shape(double x) const {
      const double driven = drive * x;
      return driven / (1.0 + std::fabs(driven));
   }

   // Windowed sinc at the oversampled rate, unity gain at DC, split into polyphase branches for
   // the interpolator (which also restores the gain lost to the inserted zeros).
   void design() {
      const double centre = (kTaps - 1) / 2.0;
      const double cutoff = kCutoff / kFactor; // cycles per oversampled frame
      double sum = 0.0;
      for (int i = 0; i < kTaps; ++i) {
         const double t = i - centre;
         const double sinc =
             t == 0.0 ? 2.0 * cutoff
                      : std::sin(2.0 * std::numbers::pi * cutoff * t) / (std::numbers::pi * t);
         const double r = t / centre;
         taps[i] = sinc * besselI0(kKaiserBeta * std::sqrt(1.0 - r * r)) / besselI0(kKaiserBeta);
         sum += taps[i];
      }
      for (double& tap : taps)
         tap /= sum;
      for (int p = 0; p < kFactor; ++p) {
         for (int k = 0; k < kPhaseTaps; ++k) {
            const int i = k * kFactor + p;
            branches[p][k] = i < kTaps ? kFactor * taps[i] : 0.0;
         }
      }
   }

   // One base-rate frame: interpolate to four frames, shape each, and decimate. The histories
   // hold every value twice (at j and j + length) so each dot product reads one contiguous run,
   // newest first.
   double oversampled(int c, double x) {
      double* up = upHistory[c].data();
      double* down = downHistory[c].data();
      int u = upNext[c], d = downNext[c];
      u = u == 0 ? kPhaseTaps - 1 : u - 1;
      up[u] = up[u + kPhaseTaps] = x;
      double y = 0.0;
      for (int p = 0; p < kFactor; ++p) {
         double sum = 0.0;
         for (int k = 0; k < kPhaseTaps; ++k)
            sum += branches[p][k] * up[u + k];
         const double shaped = shape(sum);
         d = d == 0 ? kTaps - 1 : d - 1;
         down[d] = down[d + kTaps] = shaped;
         // Decimate on the frame aligned with the input frame, for an integral delay.
         if (p == 0) {
            for (int i = 0; i < kTaps; ++i)
               y += taps[i] * down[d + i];
         }
      }
      upNext[c] = u;
      downNext[c] = d;
      return y;
   }

   double drive = 1.0;
   std::array<double, kTaps> taps{};
   std::array<std::array<double, kPhaseTaps>, kFactor> branches{};
   std::array<std::array<double, 2 * kPhaseTaps>, 2> upHistory{};
   std::array<std::array<double, 2 * kTaps>, 2> downHistory{};
   std::array<int, 2> upNext{}, downNext{};
};

} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new Shaper(audioMaster);
}
