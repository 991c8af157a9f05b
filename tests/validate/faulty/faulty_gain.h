// SPDX-License-Identifier: MIT
// A correct stereo gain on the real framework, the base of the deliberately faulty plug-ins:
// each of them breaks exactly one thing, so that `plughost validate` must fail exactly the
// checks that look at that thing.
#pragma once

#include <trimwise/framework/audio_effect_x.h>

#include <atomic>

class FaultyGain : public AudioEffectX {
public:
   explicit FaultyGain(audioMasterCallback audioMaster);

   void processReplacing(float** inputs, float** outputs, int32_t sampleFrames) override;
   void processDoubleReplacing(double** inputs, double** outputs, int32_t sampleFrames) override;
   void setParameter(int32_t index, float value) override;
   float getParameter(int32_t index) override;
   void setProgramName(char* name) override;
   void getProgramName(char* name) override;
   void getParameterLabel(int32_t index, char* label) override;
   void getParameterDisplay(int32_t index, char* text) override;
   void getParameterName(int32_t index, char* text) override;
   bool getEffectName(char* name) override;
   bool getVendorString(char* text) override;
   bool getProductString(char* text) override;

protected:
   static bool valid(int32_t index) { return index == 0 || index == 1; }
   float gain(int32_t channel) const { return gains[channel].load(std::memory_order_relaxed); }

private:
   std::atomic<float> gains[2];
   char programName[25];
};
