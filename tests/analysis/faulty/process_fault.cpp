// SPDX-License-Identifier: MIT
// Faults that show only once audio flows: the gain of the faulty plug-ins, which from its first
// processing call on crashes (a null write), outputs NaN, never returns, or outputs a value no
// sound has, in both precisions. Built once per fault with TRIMWISE_PROCESS_FAULT set to 1 to 4;
// with 5 it processes well but aborts when told a rate above 50 kHz, as a plug-in that cannot
// run at a rate does.
#include "tests/validate/faulty/faulty_gain.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <thread>

namespace {

class ProcessFault : public FaultyGain {
public:
   using FaultyGain::FaultyGain;
#if TRIMWISE_PROCESS_FAULT == 5
   void setSampleRate(float rate) override {
      if (rate > 50000.0f) std::abort();
      FaultyGain::setSampleRate(rate);
   }
#endif
   void processReplacing(float** inputs, float** outputs, int32_t sampleFrames) override {
      FaultyGain::processReplacing(inputs, outputs, sampleFrames);
      fault(outputs, sampleFrames);
   }
   void processDoubleReplacing(double** inputs, double** outputs, int32_t sampleFrames) override {
      FaultyGain::processDoubleReplacing(inputs, outputs, sampleFrames);
      fault(outputs, sampleFrames);
   }

private:
   template <class Sample>
   void fault(Sample** outputs, int32_t sampleFrames) {
      if (sampleFrames < 1) return;
#if TRIMWISE_PROCESS_FAULT == 1
      // Read from a volatile so that the compiler cannot prove the address null.
      volatile uintptr_t address = 0;
      *reinterpret_cast<volatile Sample*>(address) = outputs[0][0];
#elif TRIMWISE_PROCESS_FAULT == 2
      outputs[1][sampleFrames - 1] = std::nan("");
#elif TRIMWISE_PROCESS_FAULT == 4
      outputs[0][0] = Sample(1e30); // a feedback loop gone unstable
#elif TRIMWISE_PROCESS_FAULT == 5
      (void)outputs;
#else
      (void)outputs;
      for (;;)
         std::this_thread::sleep_for(std::chrono::milliseconds(100));
#endif
   }
};

} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new ProcessFault(audioMaster);
}
