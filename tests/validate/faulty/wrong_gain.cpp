// Fault: a copy-and-paste slip multiplies the right channel by the left gain in the 32-bit loop.
#include "tests/validate/faulty/faulty_gain.h"

namespace {
class WrongGain : public FaultyGain {
public:
   using FaultyGain::FaultyGain;
   void processReplacing(float** inputs, float** outputs, int32_t sampleFrames) override {
      for (int32_t i = 0; i < sampleFrames; ++i) {
         outputs[0][i] = inputs[0][i] * gain(0);
         outputs[1][i] = inputs[1][i] * gain(0);
      }
   }
};
} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new WrongGain(audioMaster);
}
