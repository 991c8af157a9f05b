// SPDX-License-Identifier: MIT
// Fault: the 32-bit loop throws a C++ exception out through the record's function.
#include "tests/validate/faulty/faulty_gain.h"

#include <stdexcept>

namespace {
class ThrowInProcess : public FaultyGain {
public:
   using FaultyGain::FaultyGain;
   void processReplacing(float**, float**, int32_t) override {
      throw std::runtime_error("out of voices");
   }
};
} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new ThrowInProcess(audioMaster);
}
