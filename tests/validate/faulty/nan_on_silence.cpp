// SPDX-License-Identifier: MIT
// Fault: a normalising stage divides by the block's peak, so silent input gives 0/0 = NaN.
#include "tests/validate/faulty/faulty_gain.h"

#include <cmath>

namespace {

class NanOnSilence : public FaultyGain {
public:
   using FaultyGain::FaultyGain;
   void processReplacing(float** inputs, float** outputs, int32_t sampleFrames) override {
      float peak = 0.0f;
      for (int c = 0; c < 2; ++c) {
         for (int32_t i = 0; i < sampleFrames; ++i)
            peak = std::fmax(peak, std::fabs(inputs[c][i]));
      }
      for (int c = 0; c < 2; ++c) {
         for (int32_t i = 0; i < sampleFrames; ++i)
            outputs[c][i] = inputs[c][i] / peak * peak * gain(c);
      }
   }
};

} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new NanOnSilence(audioMaster);
}
