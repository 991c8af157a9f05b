// SPDX-License-Identifier: MIT
// Fault: the gains are saved in a chunk, but restoring the chunk checks its size against the
// wrong record and so never applies it: a project reopens with default gains.
#include "tests/validate/faulty/faulty_gain.h"

#include <cstring>

namespace {

class StateLoss : public FaultyGain {
public:
   explicit StateLoss(audioMasterCallback audioMaster) : FaultyGain(audioMaster) {
      programsAreChunks(true);
   }
   int32_t getChunk(void** data, bool /*isPreset*/) override {
      saved[0] = getParameter(0);
      saved[1] = getParameter(1);
      *data = saved;
      return sizeof saved;
   }
   int32_t setChunk(void* data, int32_t byteSize, bool /*isPreset*/) override {
      if (byteSize == sizeof(double) * 2) { // the slip: the chunk holds two floats
         const auto* values = static_cast<const float*>(data);
         setParameter(0, values[0]);
         setParameter(1, values[1]);
      }
      return 0;
   }

private:
   float saved[2] = {};
};

} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new StateLoss(audioMaster);
}
