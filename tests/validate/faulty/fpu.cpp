// SPDX-License-Identifier: MIT
// Fault: the 32-bit loop switches on flush-to-zero and denormals-are-zero for itself and never
// restores the host's floating-point control.
#include "tests/validate/faulty/faulty_gain.h"

#include <xmmintrin.h>

namespace {
class Fpu : public FaultyGain {
public:
   using FaultyGain::FaultyGain;
   void processReplacing(float** inputs, float** outputs, int32_t sampleFrames) override {
      _mm_setcsr(_mm_getcsr() | 0x8040u);
      FaultyGain::processReplacing(inputs, outputs, sampleFrames);
   }
};
} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new Fpu(audioMaster);
}
