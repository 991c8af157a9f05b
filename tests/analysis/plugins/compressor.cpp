// SPDX-License-Identifier: MIT
// A stereo-linked compressor with a hard knee whose gain, for a steady sine, is exactly the
// static curve: above the threshold T the level L (dBFS, 0 dBFS = a sine of peak 1) comes out
// at T + (L - T) / R.
//
// The detector has no ripple on a sine: the energy-separation estimate
//    A = 2 Psi(x) / sqrt(Psi(z)),  Psi(x)[n] = x[n]^2 - x[n-1] x[n+1],  z[n] = x[n+1] - x[n-1]
// equals the amplitude of any sampled sinusoid exactly, whatever its frequency and phase (it
// reads five frames, so it lags two). Where the estimate is undefined (a step between two
// sines, noise) the detector holds its last value; it never reads above +12 dBFS.
//
// The gain in dB follows the static curve's gain through a one-pole: with time constant
// "Attack" while the gain falls and "Release" while it rises, so that after a level step the
// gain in dB covers 63 % of its change in exactly that time.
// "Thresh": -60 dB + 60 dB * value; "Ratio": 1 / (1 - value) (at most 100); "Attack": 40 ms *
// value (at least 0.1 ms); "Release": 400 ms * value (at least 1 ms).
#include "tests/analysis/plugins/known_answer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace {

class Compressor : public KnownAnswer<Compressor> {
public:
   explicit Compressor(audioMasterCallback audioMaster)
       : KnownAnswer(audioMaster, "KA Compressor", fourCharCode('K', 'A', 'c', 'p'),
                     {{"Thresh", "dB", 0.5f},
                      {"Ratio", ":1", 0.5f},
                      {"Attack", "ms", 0.25f},
                      {"Release", "ms", 0.25f}}) {
      prepare();
   }

   template <typename T>
   void run(T** inputs, T** outputs, int32_t frames) {
      for (int32_t i = 0; i < frames; ++i) {
         const double x0 = static_cast<double>(inputs[0][i]);
         const double x1 = static_cast<double>(inputs[1][i]);
         const double square =
             std::max(amplitudeSquared(history[0], x0), amplitudeSquared(history[1], x1));
         if (square >= 0.0) levelSquared = std::min(square, kMaxSquare);
         double target = 0.0;
         if (levelSquared > 1e-30) {
            const double over = 10.0 * std::log10(levelSquared) - threshold;
            if (over > 0.0) target = slope * over;
         }
         gainDb += (target - gainDb) * (target < gainDb ? attack : release);
         const double gain = std::exp(gainDb * kNepersPerDb);
         outputs[0][i] = static_cast<T>(x0 * gain);
         outputs[1][i] = static_cast<T>(x1 * gain);
      }
   }

protected:
   double physical(int32_t index, double value) const override {
      switch (index) {
      case 0:
         return -60.0 + 60.0 * value;
      case 1:
         return 1.0 / std::max(0.01, 1.0 - value);
      case 2:
         return std::max(0.1, 40.0 * value);
      default:
         return std::max(1.0, 400.0 * value);
      }
   }
   void update() override {
      threshold = parameter(0);
      slope = 1.0 / parameter(1) - 1.0;
      attack = 1.0 - std::exp(-1000.0 / (parameter(2) * rate()));
      release = 1.0 - std::exp(-1000.0 / (parameter(3) * rate()));
   }
   void clear() override {
      for (auto& channel : history)
         channel.fill(0.0);
      levelSquared = 0.0;
      gainDb = 0.0;
   }

private:
   static constexpr double kNepersPerDb = std::numbers::ln10 / 20.0;
   static constexpr double kMaxSquare = 15.848931924611133; // +12 dBFS, squared

   // Shifts `x` into the last five frames `h` (oldest first) and answers the squared amplitude
   // of the sinusoid they hold, 0 for silence, or -1 where it is undefined.
   static double amplitudeSquared(std::array<double, 5>& h, double x) {
      h[0] = h[1];
      h[1] = h[2];
      h[2] = h[3];
      h[3] = h[4];
      h[4] = x;
      if (h[1] == 0.0 && h[2] == 0.0 && h[3] == 0.0) return 0.0;
      const double energy = h[2] * h[2] - h[1] * h[3];
      const double z0 = h[2] - h[0], z1 = h[3] - h[1], z2 = h[4] - h[2];
      const double slopeEnergy = z1 * z1 - z0 * z2;
      if (energy <= 0.0 || slopeEnergy <= 0.0) return -1.0;
      return 4.0 * energy * energy / slopeEnergy;
   }

   std::array<std::array<double, 5>, 2> history{};
   double levelSquared = 0.0;
   double gainDb = 0.0;
   double threshold = 0.0, slope = 0.0, attack = 1.0, release = 1.0;
};

} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new Compressor(audioMaster);
}
