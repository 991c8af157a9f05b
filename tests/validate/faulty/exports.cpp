// SPDX-License-Identifier: MIT
// Fault: a debugging hook left with default visibility, and the module linked without the
// version script, so it exports a name besides the entry.
#include "tests/validate/faulty/faulty_gain.h"

extern "C" __attribute__((visibility("default"))) int faultyDebugLevel() {
   return 3;
}

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new FaultyGain(audioMaster);
}
