// SPDX-License-Identifier: MIT
// An effect the LV2 description generator must refuse: it has no audio outputs.
#include <trimwise/framework/audio_effect_x.h>

#include <new>

namespace {
class NoOutputs : public AudioEffectX {
public:
   explicit NoOutputs(audioMasterCallback master) : AudioEffectX(master, 1, 0) {
      setNumInputs(2);
      setNumOutputs(0);
   }
   void processReplacing(float**, float**, int32_t) override {}
};
} // namespace

AudioEffect* createEffectInstance(audioMasterCallback master) {
   return new (std::nothrow) NoOutputs(master);
}
