// SPDX-License-Identifier: MIT
// Not a fault: the two gains are linked as a dry and wet pair, so setting either sets the other
// to its complement, and the later of two sets wins. Validate must pass it: an instance reads
// back what it was set to only after all of its sets, and a restore may settle an ulp away.
#include "tests/validate/faulty/faulty_gain.h"

namespace {

class Linked : public FaultyGain {
public:
   explicit Linked(audioMasterCallback audioMaster) : FaultyGain(audioMaster) {}
   void setParameter(int32_t index, float value) override {
      if (!valid(index)) return;
      FaultyGain::setParameter(index, value);
      FaultyGain::setParameter(1 - index, 1.0f - value);
   }
};

} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new Linked(audioMaster);
}
