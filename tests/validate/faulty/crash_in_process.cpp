// SPDX-License-Identifier: MIT
// Fault: the 32-bit loop writes through a null pointer (a segmentation fault in processing).
#include "tests/validate/faulty/faulty_gain.h"

#include <cstdint>

namespace {
class CrashInProcess : public FaultyGain {
public:
   using FaultyGain::FaultyGain;
   void processReplacing(float** inputs, float** outputs, int32_t sampleFrames) override {
      // The address is read from a volatile so that the compiler cannot prove it null and drop
      // the store.
      volatile uintptr_t address = 0;
      if (sampleFrames > 0) *reinterpret_cast<volatile float*>(address) = inputs[0][0];
      FaultyGain::processReplacing(inputs, outputs, sampleFrames);
   }
};
} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new CrashInProcess(audioMaster);
}
