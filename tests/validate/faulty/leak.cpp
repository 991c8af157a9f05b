// SPDX-License-Identifier: MIT
// Fault: a scratch buffer allocated per instance that the destructor never frees.
#include "tests/validate/faulty/faulty_gain.h"

namespace {
class Leak : public FaultyGain {
public:
   explicit Leak(audioMasterCallback audioMaster)
       : FaultyGain(audioMaster), scratch(new float[64]) {}

private:
   [[maybe_unused]] float* scratch; // never deleted
};
} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new Leak(audioMaster);
}
