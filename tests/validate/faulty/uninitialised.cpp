// SPDX-License-Identifier: MIT
// Fault: a mode the constructor never sets decides whether the output is inverted. Fresh or
// reused heap memory practically never holds the one value that inverts, so the output is right;
// only --memcheck sees that a branch depends on an uninitialised value.
#include "tests/validate/faulty/faulty_gain.h"

namespace {

class Uninitialised : public FaultyGain {
public:
   explicit Uninitialised(audioMasterCallback audioMaster) : FaultyGain(audioMaster) {}
   void processReplacing(float** inputs, float** outputs, int32_t sampleFrames) override {
      FaultyGain::processReplacing(inputs, outputs, sampleFrames);
      if (mode == 0x5EED1234) { // the slip: mode was never set
         for (int32_t i = 0; i < sampleFrames; ++i)
            outputs[0][i] = -outputs[0][i];
      }
   }

private:
   int32_t mode;
};

} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new Uninitialised(audioMaster);
}
