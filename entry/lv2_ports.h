// SPDX-License-Identifier: MIT
// The LV2 face of an effect's record: which port index is which. The adapter and the description
// generator both read it from the record, so the binary and its ttl cannot disagree.
#pragma once

#include <trimwise/framework/audio_effect_x.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace trimwise::lv2 {

// Counts beyond these are not a plausible effect but a broken record; neither the adapter nor
// the generator builds ports for them.
constexpr int32_t kMaxChannels = 256;
constexpr int32_t kMaxParams = 100000;

// Ports in index order: audio inputs, audio outputs, one control input per parameter, the
// latency output, and (for effects that take MIDI) one atom sequence input.
struct PortLayout {
   uint32_t numInputs = 0;
   uint32_t numOutputs = 0;
   uint32_t numParams = 0;
   bool midiInput = false;

   uint32_t firstOutput() const { return numInputs; }
   uint32_t firstControl() const { return numInputs + numOutputs; }
   uint32_t latency() const { return firstControl() + numParams; }
   uint32_t events() const { return latency() + 1; }
   uint32_t count() const { return latency() + 1 + (midiInput ? 1 : 0); }
};

// Instruments and effects that say they receive MIDI get an event input.
inline bool wantsMidi(AEffect* effect) {
   if ((effect->flags & effFlagsIsSynth) != 0) return true;
   for (const char* can : {"receiveVstEvents", "receiveVstMidiEvent"}) {
      char text[64] = {};
      std::memcpy(text, can, std::strlen(can));
      if (effect->dispatcher(effect, effCanDo, 0, 0, text, 0.0f) == 1) return true;
   }
   return false;
}

// False for a record whose counts no port list can describe.
inline bool readLayout(AEffect* effect, PortLayout& layout) {
   if (effect->numInputs < 0 || effect->numInputs > kMaxChannels) return false;
   if (effect->numOutputs < 0 || effect->numOutputs > kMaxChannels) return false;
   if (effect->numParams < 0 || effect->numParams > kMaxParams) return false;
   layout.numInputs = uint32_t(effect->numInputs);
   layout.numOutputs = uint32_t(effect->numOutputs);
   layout.numParams = uint32_t(effect->numParams);
   layout.midiInput = wantsMidi(effect);
   return true;
}

// The state blob: this header, then the effect's chunk. The unique ID refuses a blob saved by
// another plug-in; the length refuses a truncated one.
struct StateHeader {
   char magic[4]; // "TWck"
   uint32_t uniqueID;
   uint32_t chunkSize;
};
static_assert(sizeof(StateHeader) == 12);
constexpr char kStateMagic[4] = {'T', 'W', 'c', 'k'};

} // namespace trimwise::lv2
