// SPDX-License-Identifier: MIT
// Fault: the label is copied with the display's old limit of 16, writing 17 bytes into a host
// buffer of 9.
#include "tests/validate/faulty/faulty_gain.h"

namespace {
class TextOverrun : public FaultyGain {
public:
   using FaultyGain::FaultyGain;
   void getParameterLabel(int32_t index, char* label) override {
      if (valid(index)) vst_strncpy(label, "dB", 16);
   }
};
} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new TextOverrun(audioMaster);
}
