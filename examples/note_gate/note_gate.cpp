// SPDX-License-Identifier: MIT
#include "note_gate.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {
constexpr int32_t kClosedGain = 0;
constexpr int32_t kNumParams = 1;
constexpr int32_t kTextLength = 8;
constexpr int32_t kNameLength = 32;
constexpr int32_t kVendorLength = 64;
constexpr auto kRelaxed = std::memory_order_relaxed;

// MIDI status nibbles and the controller that releases every note.
constexpr unsigned char kNoteOff = 0x80;
constexpr unsigned char kNoteOn = 0x90;
constexpr unsigned char kControlChange = 0xB0;
constexpr unsigned char kAllNotesOff = 123;
} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new (std::nothrow) NoteGate(audioMaster);
}

NoteGate::NoteGate(audioMasterCallback audioMaster) : AudioEffectX(audioMaster, 1, kNumParams) {
   setNumInputs(2);
   setNumOutputs(2);
   setUniqueID(fourCharCode('N', 't', 'G', 't'));
   canProcessReplacing(true);
   canDoubleReplacing(true);
}

// --- Events

int32_t NoteGate::processEvents(VstEvents* events) {
   if (events == nullptr) return 0;
   // The record declares two event pointers; hosts allocate as many as numEvents says, so the
   // list is read through a pointer, not as the declared array.
   VstEvent* const* list = events->events;
   for (int32_t i = 0; i < events->numEvents && numPending < kMaxEvents; ++i) {
      const VstEvent* event = list[i];
      if (event == nullptr || event->type != kVstMidiType) continue;
      const auto* midi = reinterpret_cast<const VstMidiEvent*>(event);
      pending[size_t(numPending++)] = {std::max(midi->deltaFrames, 0),
                                       static_cast<unsigned char>(midi->midiData[0]),
                                       static_cast<unsigned char>(midi->midiData[1] & 0x7F),
                                       static_cast<unsigned char>(midi->midiData[2] & 0x7F)};
   }
   return 1;
}

void NoteGate::apply(const NoteEvent& event) {
   const unsigned char kind = event.status & 0xF0;
   const bool on = kind == kNoteOn && event.data2 > 0; // velocity 0 is a note-off
   if (kind == kNoteOn || kind == kNoteOff) {
      bool& note = held[event.data1];
      if (note != on) numHeld += on ? 1 : -1;
      note = on;
   } else if (kind == kControlChange && event.data1 == kAllNotesOff) {
      held.fill(false);
      numHeld = 0;
   }
}

void NoteGate::resume() {
   held.fill(false);
   numHeld = 0;
   numPending = 0;
   AudioEffectX::resume();
}

// --- Processing

// Frames run in stretches between event frames; within a stretch the gain is constant, so every
// output sample is exactly input x 1 or input x the closed gain.
template <typename T>
void NoteGate::processBlock(T** inputs, T** outputs, int32_t sampleFrames) {
   if (sampleFrames <= 0 || inputs == nullptr || outputs == nullptr) return;
   const T closed = T(closedGain.load(kRelaxed));
   int32_t frame = 0;
   int32_t next = 0;
   while (frame < sampleFrames) {
      while (next < numPending && pending[size_t(next)].frame <= frame)
         apply(pending[size_t(next++)]);
      const int32_t end =
          next < numPending ? std::min(pending[size_t(next)].frame, sampleFrames) : sampleFrames;
      const T gain = numHeld > 0 ? T(1) : closed;
      for (int32_t c = 0; c < 2; ++c) {
         const T* in = inputs[c];
         T* out = outputs[c];
         if (in == nullptr || out == nullptr) continue;
         for (int32_t i = frame; i < end; ++i)
            out[i] = in[i] * gain;
      }
      frame = end;
   }
   while (next < numPending)
      apply(pending[size_t(next++)]);
   numPending = 0;
}

void NoteGate::processReplacing(float** inputs, float** outputs, int32_t sampleFrames) {
   processBlock(inputs, outputs, sampleFrames);
}

void NoteGate::processDoubleReplacing(double** inputs, double** outputs, int32_t sampleFrames) {
   processBlock(inputs, outputs, sampleFrames);
}

// --- Parameter

void NoteGate::setParameter(int32_t index, float value) {
   if (index == kClosedGain) closedGain.store(std::clamp(value, 0.0f, 1.0f), kRelaxed);
}

float NoteGate::getParameter(int32_t index) {
   return index == kClosedGain ? closedGain.load(kRelaxed) : 0.0f;
}

void NoteGate::getParameterName(int32_t index, char* text) {
   if (index == kClosedGain) vst_strncpy(text, "Closed", kTextLength);
}

void NoteGate::getParameterLabel(int32_t index, char* label) {
   if (index == kClosedGain) vst_strncpy(label, "dB", kTextLength);
}

void NoteGate::getParameterDisplay(int32_t index, char* text) {
   if (index == kClosedGain) dB2string(closedGain.load(kRelaxed), text, kTextLength);
}

// --- Identity and capabilities

int32_t NoteGate::canDo(char* text) {
   if (std::strcmp(text, PlugCanDo::receiveVstEvents) == 0) return 1;
   if (std::strcmp(text, PlugCanDo::receiveVstMidiEvent) == 0) return 1;
   return 0;
}

bool NoteGate::getEffectName(char* name) {
   vst_strncpy(name, "NoteGate", kNameLength);
   return true;
}

bool NoteGate::getVendorString(char* text) {
   vst_strncpy(text, "The Trimwise authors", kVendorLength);
   return true;
}

bool NoteGate::getProductString(char* text) {
   vst_strncpy(text, "Trimwise examples", kVendorLength);
   return true;
}

int32_t NoteGate::getVendorVersion() {
   return 1000;
}
