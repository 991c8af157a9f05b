// SPDX-License-Identifier: MIT
// Fault: an assertion on a parameter value that fails: setting a gain to exactly 0.5 aborts the
// process (any other value is taken).
#include "tests/validate/faulty/faulty_gain.h"

#include <cstdlib>

namespace {
class AbortOnParameter : public FaultyGain {
public:
   using FaultyGain::FaultyGain;
   void setParameter(int32_t index, float value) override {
      if (value == 0.5f) std::abort();
      FaultyGain::setParameter(index, value);
   }
};
} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new AbortOnParameter(audioMaster);
}
