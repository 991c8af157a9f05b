// SPDX-License-Identifier: MIT
// Not a fault: the second parameter is a switch that keeps the value a host set (0.448 reads
// 0.448 and shows "off"), while the chunk stores the choice itself, so a restored instance reads
// 0 there: the same text and the same sound. Validate must pass it.
#include "tests/validate/faulty/faulty_gain.h"

#include <cstring>

namespace {

class ChoiceState : public FaultyGain {
public:
   explicit ChoiceState(audioMasterCallback audioMaster) : FaultyGain(audioMaster) {
      programsAreChunks(true);
   }
   void setParameter(int32_t index, float value) override {
      if (index != 1) return FaultyGain::setParameter(index, value);
      raw.store(value, std::memory_order_relaxed);
      invert.store(value >= 0.5f, std::memory_order_relaxed);
   }
   float getParameter(int32_t index) override {
      return index == 1 ? raw.load(std::memory_order_relaxed) : FaultyGain::getParameter(index);
   }
   void getParameterName(int32_t index, char* text) override {
      if (index == 1) return (void)std::strcpy(text, "Invert");
      FaultyGain::getParameterName(index, text);
   }
   void getParameterLabel(int32_t index, char* label) override {
      if (index == 1) return (void)std::strcpy(label, "");
      FaultyGain::getParameterLabel(index, label);
   }
   void getParameterDisplay(int32_t index, char* text) override {
      if (index == 1) return (void)std::strcpy(text, inverted() ? "on" : "off");
      FaultyGain::getParameterDisplay(index, text);
   }
   int32_t getChunk(void** data, bool /*isPreset*/) override {
      saved[0] = gain(0);
      saved[1] = inverted() ? 1.0f : 0.0f;
      *data = saved;
      return sizeof saved;
   }
   int32_t setChunk(void* data, int32_t byteSize, bool /*isPreset*/) override {
      if (byteSize != sizeof saved) return 0;
      const auto* values = static_cast<const float*>(data);
      setParameter(0, values[0]);
      setParameter(1, values[1]);
      return 1;
   }
   void processReplacing(float** inputs, float** outputs, int32_t sampleFrames) override {
      run(inputs, outputs, sampleFrames);
   }
   void processDoubleReplacing(double** inputs, double** outputs, int32_t sampleFrames) override {
      run(inputs, outputs, sampleFrames);
   }

private:
   bool inverted() const { return invert.load(std::memory_order_relaxed); }
   template <class T>
   void run(T** inputs, T** outputs, int32_t sampleFrames) {
      const T left = gain(0), right = inverted() ? -left : left;
      for (int32_t i = 0; i < sampleFrames; ++i) {
         outputs[0][i] = inputs[0][i] * left;
         outputs[1][i] = inputs[1][i] * right;
      }
   }

   std::atomic<float> raw{0.0f};
   std::atomic<bool> invert{false};
   float saved[2] = {};
};

} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new ChoiceState(audioMaster);
}
