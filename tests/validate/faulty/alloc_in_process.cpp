// SPDX-License-Identifier: MIT
// Fault: the 32-bit loop allocates a scratch buffer for every block on the audio thread.
#include "tests/validate/faulty/faulty_gain.h"

#include <vector>

namespace {
class AllocInProcess : public FaultyGain {
public:
   using FaultyGain::FaultyGain;
   void processReplacing(float** inputs, float** outputs, int32_t sampleFrames) override {
      if (sampleFrames <= 0) return;
      std::vector<float> scratch(inputs[0], inputs[0] + sampleFrames);
      for (int32_t i = 0; i < sampleFrames; ++i) {
         outputs[0][i] = scratch[size_t(i)] * gain(0);
         outputs[1][i] = inputs[1][i] * gain(1);
      }
   }
};
} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new AllocInProcess(audioMaster);
}
