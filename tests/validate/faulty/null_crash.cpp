// SPDX-License-Identifier: MIT
// Fault: the parameter-name command is answered directly, skipping the framework's test for a
// null buffer, and the name is copied into whatever ptr is.
#include "tests/validate/faulty/faulty_gain.h"

namespace {
class NullCrash : public FaultyGain {
public:
   using FaultyGain::FaultyGain;
   intptr_t dispatcher(int32_t opcode, int32_t index, intptr_t value, void* ptr,
                       float opt) override {
      if (opcode == effGetParamName) {
         getParameterName(index, static_cast<char*>(ptr));
         return 0;
      }
      return AudioEffectX::dispatcher(opcode, index, value, ptr, opt);
   }
};
} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new NullCrash(audioMaster);
}
