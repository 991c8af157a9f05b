// SPDX-License-Identifier: MIT
// NoteGate: a stereo gate played from MIDI. While any note is held the audio passes unchanged;
// otherwise it is multiplied by the "Closed" gain. Each note event takes effect at its own frame
// of the block, and both 32-bit and 64-bit audio are processed.
#pragma once

#include <trimwise/framework/audio_effect_x.h>

#include <array>
#include <atomic>

class NoteGate : public AudioEffectX {
public:
   explicit NoteGate(audioMasterCallback audioMaster);

   // Audio thread, right before the block the events belong to. The events are copied (up to
   // kMaxEvents per block; later ones are dropped), so the host may reuse its records at once.
   int32_t processEvents(VstEvents* events) override;

   // Audio thread. Consumes the events received for this block; events stamped past the end of
   // the block take effect after its last frame.
   void processReplacing(float** inputs, float** outputs, int32_t sampleFrames) override;
   void processDoubleReplacing(double** inputs, double** outputs, int32_t sampleFrames) override;

   // Any thread. Index 0 is the closed gain, a linear factor shown in dB.
   void setParameter(int32_t index, float value) override;
   float getParameter(int32_t index) override;
   void getParameterName(int32_t index, char* text) override;
   void getParameterLabel(int32_t index, char* label) override;
   void getParameterDisplay(int32_t index, char* text) override;

   // Forgets every held note: a host that stops and restarts must not find the gate stuck open.
   void resume() override;

   int32_t canDo(char* text) override;
   bool getEffectName(char* name) override;
   bool getVendorString(char* text) override;
   bool getProductString(char* text) override;
   int32_t getVendorVersion() override;

   static constexpr int32_t kMaxEvents = 512;
   static constexpr float kDefaultClosedGain = 0.25f;

private:
   struct NoteEvent {
      int32_t frame;
      unsigned char status, data1, data2;
   };

   template <typename T>
   void processBlock(T** inputs, T** outputs, int32_t sampleFrames);
   void apply(const NoteEvent& event);

   std::atomic<float> closedGain{kDefaultClosedGain};
   // Audio thread only.
   std::array<NoteEvent, kMaxEvents> pending{};
   int32_t numPending = 0;
   std::array<bool, 128> held{};
   int32_t numHeld = 0;
};
