// SPDX-License-Identifier: MIT
// Trimwise: a stereo gain. The left channel is multiplied by "Left Gain", the right one by
// "Right Gain"; both are linear factors shown to the user in decibels.
#pragma once

#include <trimwise/framework/audio_effect_x.h>

#include <atomic>

class Trimwise : public AudioEffectX {
public:
   explicit Trimwise(audioMasterCallback audioMaster);
   ~Trimwise() override;

   // Audio thread. Each gain is read once per block, so a change from another thread applies
   // from the next block on; every sample is exactly input x gain.
   void processReplacing(float** inputs, float** outputs, int32_t sampleFrames) override;
   void processDoubleReplacing(double** inputs, double** outputs, int32_t sampleFrames) override;

   // Any thread. Index 0 is the left gain, 1 the right one; other indices change nothing and
   // read as 0.
   void setParameter(int32_t index, float value) override;
   float getParameter(int32_t index) override;

   void setProgramName(char* name) override;
   void getProgramName(char* name) override;

   // Other indices leave the host's buffer untouched.
   void getParameterLabel(int32_t index, char* label) override;
   void getParameterDisplay(int32_t index, char* text) override;
   void getParameterName(int32_t index, char* text) override;

   bool getEffectName(char* name) override;
   bool getVendorString(char* text) override;
   bool getProductString(char* text) override;
   int32_t getVendorVersion() override;

   static constexpr int32_t kNumPrograms = 1;
   static constexpr int32_t kNumParams = 2;
   static constexpr int32_t kUniqueId = fourCharCode('T', 'r', 'm', 'w');
   static constexpr int32_t kProgramNameLength = 24;

private:
   // Written by the host's parameter calls on any thread while the audio thread reads them:
   // atomics without ordering, the same size and layout as a plain float.
   std::atomic<float> leftGain;
   std::atomic<float> rightGain;
   char programName[kProgramNameLength + 1];

   static_assert(std::atomic<float>::is_always_lock_free);
   static_assert(sizeof(std::atomic<float>) == sizeof(float));
};
