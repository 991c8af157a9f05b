// SPDX-License-Identifier: MIT
// Fault: an assertion on a parameter value that fails: setting a parameter aborts the process.
#include "tests/validate/faulty/faulty_gain.h"

#include <cstdlib>

namespace {
class AbortOnParameter : public FaultyGain {
public:
   using FaultyGain::FaultyGain;
   void setParameter(int32_t, float) override { std::abort(); }
};
} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new AbortOnParameter(audioMaster);
}
