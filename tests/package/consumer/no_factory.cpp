// SPDX-License-Identifier: MIT
// An effect whose author forgot createEffectInstance: the module must not link.
#include "framework/audio_effect_x.h"

class Forgotten : public AudioEffectX {
public:
   explicit Forgotten(audioMasterCallback audioMaster) : AudioEffectX(audioMaster, 1, 0) {}
   void processReplacing(float**, float**, int32_t) override {}
};

AudioEffect* makeForgotten(audioMasterCallback audioMaster) {
   return new Forgotten(audioMaster);
}
