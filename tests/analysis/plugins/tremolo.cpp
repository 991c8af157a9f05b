// SPDX-License-Identifier: MIT
// An LFO tremolo, y = x (1 - depth (1 - cos phi) / 2) with phi advancing 2 pi rate / fs a frame:
// a time-variant effect. The LFO runs on across suspend and resume, as most tremolos' do.
// "Rate": 1.3 Hz + 11.6 Hz * value; "Depth": value.
#include "tests/analysis/plugins/known_answer.h"

#include <cmath>
#include <numbers>

namespace {

class Tremolo : public KnownAnswer<Tremolo> {
public:
   explicit Tremolo(audioMasterCallback audioMaster)
       : KnownAnswer(audioMaster, "KA Tremolo", fourCharCode('K', 'A', 't', 'r'),
                     {{"Rate", "Hz", 0.25f}, {"Depth", "", 0.5f}}) {
      prepare();
   }

   // The LFO is a rotating phasor (no trigonometry per frame), set back to unit length after
   // each block.
   template <typename T>
   void run(T** inputs, T** outputs, int32_t frames) {
      for (int32_t i = 0; i < frames; ++i) {
         const double gain = 1.0 - depth * 0.5 * (1.0 - cosine);
         const double x0 = static_cast<double>(inputs[0][i]);
         const double x1 = static_cast<double>(inputs[1][i]);
         outputs[0][i] = static_cast<T>(x0 * gain);
         outputs[1][i] = static_cast<T>(x1 * gain);
         const double c = cosine * stepCosine - sine * stepSine;
         sine = sine * stepCosine + cosine * stepSine;
         cosine = c;
      }
      const double norm = std::sqrt(cosine * cosine + sine * sine);
      cosine /= norm;
      sine /= norm;
   }

protected:
   double physical(int32_t index, double value) const override {
      return index == 0 ? 1.3 + 11.6 * value : value;
   }
   void update() override {
      const double step = 2.0 * std::numbers::pi * parameter(0) / rate();
      stepCosine = std::cos(step);
      stepSine = std::sin(step);
      depth = parameter(1);
   }
   void clear() override {}

private:
   double cosine = 1.0, sine = 0.0;
   double stepCosine = 1.0, stepSine = 0.0;
   double depth = 0.0;
};

} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new Tremolo(audioMaster);
}
