// SPDX-License-Identifier: MIT
// A memoryless saturator, y = clip(g x) to [-1, 1], or y = tanh(g x) when built with
// SATURATOR_TANH: its harmonics at a sine's amplitude are the curve's Fourier coefficients.
// "Drive": g in dB = 24 dB * value.
#include "tests/analysis/plugins/known_answer.h"

#include <algorithm>
#include <cmath>

#ifndef SATURATOR_TANH
#define SATURATOR_TANH 0
#endif

namespace {

class Saturator : public KnownAnswer<Saturator> {
public:
   explicit Saturator(audioMasterCallback audioMaster)
       : KnownAnswer(audioMaster, SATURATOR_TANH ? "KA Tanh" : "KA Hard Clipper",
                     fourCharCode('K', 'A', 's', SATURATOR_TANH ? 't' : 'c'),
                     {{"Drive", "dB", 0.25f}}) {
      prepare();
   }

   template <typename T>
   void run(T** inputs, T** outputs, int32_t frames) {
      for (int c = 0; c < 2; ++c) {
         for (int32_t i = 0; i < frames; ++i) {
            const double x = drive * static_cast<double>(inputs[c][i]);
            if constexpr (SATURATOR_TANH)
               outputs[c][i] = static_cast<T>(std::tanh(x));
            else
               outputs[c][i] = static_cast<T>(std::clamp(x, -1.0, 1.0));
         }
      }
   }

protected:
   double physical(int32_t, double value) const override { return 24.0 * value; }
   void update() override { drive = knownAnswerGain(parameter(0)); }
   void clear() override {}

private:
   double drive = 1.0;
};

} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new Saturator(audioMaster);
}
