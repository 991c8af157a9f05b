// SPDX-License-Identifier: MIT
// Fault: processing keeps the last input sample in a scratch buffer of its own, one element past
// its end. The write lands in the allocator's rounding, so nothing shows without a memory
// checker: only --memcheck catches it.
#include "tests/validate/faulty/faulty_gain.h"

namespace {

class HeapOverrun : public FaultyGain {
public:
   explicit HeapOverrun(audioMasterCallback audioMaster)
       : FaultyGain(audioMaster), scratch(new float[kScratch]()) {}
   ~HeapOverrun() override { delete[] scratch; }
   void processReplacing(float** inputs, float** outputs, int32_t sampleFrames) override {
      FaultyGain::processReplacing(inputs, outputs, sampleFrames);
      if (sampleFrames > 0) scratch[kScratch] = inputs[0][sampleFrames - 1]; // the slip
   }

private:
   static constexpr int kScratch = 64;
   float* scratch;
};

} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new HeapOverrun(audioMaster);
}
