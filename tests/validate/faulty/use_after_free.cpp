// SPDX-License-Identifier: MIT
// Fault: suspend frees the meter buffer and resume allocates a new one, but processing goes on
// reading through the pointer it took before, into freed memory. The value read only feeds a
// meter nobody looks at, so nothing shows without a memory checker: only --memcheck catches it.
#include "tests/validate/faulty/faulty_gain.h"

namespace {

class UseAfterFree : public FaultyGain {
public:
   explicit UseAfterFree(audioMasterCallback audioMaster)
       : FaultyGain(audioMaster), meter(new float[kMeter]()), view(meter) {}
   ~UseAfterFree() override { delete[] meter; }
   void suspend() override {
      delete[] meter;
      meter = nullptr;
   }
   void resume() override {
      if (!meter) meter = new float[kMeter](); // the slip: `view` still points at the old one
   }
   void processReplacing(float** inputs, float** outputs, int32_t sampleFrames) override {
      FaultyGain::processReplacing(inputs, outputs, sampleFrames);
      peak = view[0];
   }

private:
   static constexpr int kMeter = 64;
   float* meter;
   float* view;
   volatile float peak = 0;
};

} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new UseAfterFree(audioMaster);
}
