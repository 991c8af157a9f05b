// SPDX-License-Identifier: MIT
// A one-pole low-pass, y[n] = y[n-1] + a (x[n] - y[n-1]) with a = 1 - exp(-2 pi fc / fs), so
// H(z) = a / (1 - (1 - a) z^-1). Built with LOWPASS_DELAY_FRAMES > 0, the same filter sits behind
// a delay line of that many frames, and the plug-in reports the delay as its latency.
// "Cutoff": fc = 20 Hz * 1000^value (20 Hz to 20 kHz).
#include "tests/analysis/plugins/known_answer.h"

#include <array>
#include <cmath>
#include <numbers>

#ifndef LOWPASS_DELAY_FRAMES
#define LOWPASS_DELAY_FRAMES 0
#endif

namespace {

constexpr int32_t kDelay = LOWPASS_DELAY_FRAMES;

class Lowpass : public KnownAnswer<Lowpass> {
public:
   explicit Lowpass(audioMasterCallback audioMaster)
       : KnownAnswer(audioMaster, kDelay > 0 ? "KA Delayed Lowpass" : "KA Lowpass",
                     fourCharCode('K', 'A', 'l', kDelay > 0 ? 'd' : 'p'),
                     {{"Cutoff", "Hz", 0.5f}}) {
      setInitialDelay(kDelay);
      prepare();
   }

   template <typename T>
   void run(T** inputs, T** outputs, int32_t frames) {
      int32_t position = 0;
      for (int c = 0; c < 2; ++c) {
         double y = state[c];
         position = next;
         for (int32_t i = 0; i < frames; ++i) {
            y += a * (static_cast<double>(inputs[c][i]) - y);
            if constexpr (kDelay > 0) {
               const double delayed = line[c][position];
               line[c][position] = y;
               position = position + 1 == kDelay ? 0 : position + 1;
               outputs[c][i] = static_cast<T>(delayed);
            } else {
               outputs[c][i] = static_cast<T>(y);
            }
         }
         state[c] = y;
      }
      next = position;
   }

protected:
   double physical(int32_t, double value) const override { return 20.0 * std::pow(1000.0, value); }
   void update() override { a = 1.0 - std::exp(-2.0 * std::numbers::pi * parameter(0) / rate()); }
   void clear() override {
      state = {};
      for (auto& channel : line)
         channel.fill(0.0);
      next = 0;
   }

private:
   double a = 1.0;
   std::array<double, 2> state{};
   std::array<std::array<double, (kDelay > 0 ? kDelay : 1)>, 2> line{};
   int32_t next = 0;
};

} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new Lowpass(audioMaster);
}
