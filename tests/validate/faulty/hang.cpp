// SPDX-License-Identifier: MIT
// Fault: switching on waits for something that never comes.
#include "tests/validate/faulty/faulty_gain.h"

#include <chrono>
#include <thread>

namespace {
class Hang : public FaultyGain {
public:
   using FaultyGain::FaultyGain;
   void resume() override {
      for (;;)
         std::this_thread::sleep_for(std::chrono::milliseconds(100));
   }
};
} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new Hang(audioMaster);
}
