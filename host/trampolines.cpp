// SPDX-License-Identifier: MIT
// The six functions a host reaches through the record. Each one finds the effect object through
// AEffect::object and makes one virtual call, so the most derived effect answers.
#include <trimwise/framework/audio_effect.h>

namespace {
AudioEffect* objectOf(AEffect* e) {
   return static_cast<AudioEffect*>(e->object);
}
} // namespace

intptr_t AudioEffect::dispatchEffectClass(AEffect* e, int32_t opcode, int32_t index, intptr_t value,
                                          void* ptr, float opt) {
   AudioEffect* self = objectOf(e);
   if (opcode == effClose) {
      // The effect's own close runs while the object is whole; the record goes with it.
      self->dispatcher(opcode, index, value, ptr, opt);
      delete self;
      return 1;
   }
   return self->dispatcher(opcode, index, value, ptr, opt);
}

float AudioEffect::getParameterClass(AEffect* e, int32_t index) {
   return objectOf(e)->getParameter(index);
}

void AudioEffect::setParameterClass(AEffect* e, int32_t index, float value) {
   objectOf(e)->setParameter(index, value);
}

void AudioEffect::processClass(AEffect* e, float** inputs, float** outputs, int32_t sampleFrames) {
   objectOf(e)->process(inputs, outputs, sampleFrames);
}

void AudioEffect::processClassReplacing(AEffect* e, float** inputs, float** outputs,
                                        int32_t sampleFrames) {
   objectOf(e)->processReplacing(inputs, outputs, sampleFrames);
}

void AudioEffect::processClassDoubleReplacing(AEffect* e, double** inputs, double** outputs,
                                              int32_t sampleFrames) {
   objectOf(e)->processDoubleReplacing(inputs, outputs, sampleFrames);
}
