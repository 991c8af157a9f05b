// SPDX-License-Identifier: MIT
// Fault: the plug-in says it keeps its state in a chunk, but gives none when asked for it.
#include "tests/validate/faulty/faulty_gain.h"

namespace {
class NoChunk : public FaultyGain {
public:
   explicit NoChunk(audioMasterCallback audioMaster) : FaultyGain(audioMaster) {
      programsAreChunks(true);
   }
   int32_t getChunk(void** data, bool) override {
      *data = nullptr;
      return 0;
   }
};
} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new NoChunk(audioMaster);
}
