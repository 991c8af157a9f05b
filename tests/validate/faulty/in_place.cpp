// SPDX-License-Identifier: MIT
// Fault: the outputs are cleared up front, before the inputs are read, so in-place processing
// (output buffer = input buffer) gives silence.
#include "tests/validate/faulty/faulty_gain.h"

#include <cstring>

namespace {
class InPlace : public FaultyGain {
public:
   using FaultyGain::FaultyGain;
   void processReplacing(float** inputs, float** outputs, int32_t sampleFrames) override {
      if (sampleFrames <= 0) return;
      for (int c = 0; c < 2; ++c)
         std::memset(outputs[c], 0, sizeof(float) * size_t(sampleFrames));
      for (int32_t i = 0; i < sampleFrames; ++i) {
         outputs[0][i] = inputs[0][i] * gain(0);
         outputs[1][i] = inputs[1][i] * gain(1);
      }
   }
};
} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new InPlace(audioMaster);
}
