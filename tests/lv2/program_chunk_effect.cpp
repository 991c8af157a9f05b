// SPDX-License-Identifier: MIT
// A test effect for the LV2 preset, state and transport paths, which Trimwise (one program, no
// chunk, no events) leaves untested: three programs, a chunk that holds values no parameter shows
// (the trim, and the tempo and position the host's time information gave at the last block),
// parameter names that need escaping and de-duplicating as LV2 symbols, and MIDI input, which
// gives it the LV2 event port that carries time:Position.
//
// out[c] = in[c] * level(c) * trim, where level(0) is "Level", level(1) the second "Level".
#include <trimwise/framework/audio_effect_x.h>

#include <array>
#include <cstring>
#include <new>

namespace {

constexpr int32_t kNumParams = 3;
constexpr int32_t kNumPrograms = 3;

struct Program {
   const char* name;
   std::array<float, kNumParams> values;
};
// The third name holds a quote, a backslash and a Latin-1 e-acute: the ttl must escape them.
const char* const kNames[kNumParams] = {"Level", "Level", "Tone \"A\" \\ \xE9"};
const Program kPrograms[kNumPrograms] = {{"Unity", {1.0f, 1.0f, 0.5f}},
                                         {"Half", {0.5f, 0.5f, 0.25f}},
                                         {"Quiet \"q\"", {0.125f, 0.25f, 0.75f}}};

// The chunk: every parameter, the trim, then the last time information (0 without any).
struct Chunk {
   std::array<float, kNumParams> values;
   float trim;
   float tempo;
   float ppqPos;
   int32_t timeSigNumerator;
   int32_t timeSigDenominator;
};

class ProgramChunk : public AudioEffectX {
public:
   explicit ProgramChunk(audioMasterCallback master)
       : AudioEffectX(master, kNumPrograms, kNumParams) {
      setNumInputs(2);
      setNumOutputs(2);
      setUniqueID(fourCharCode('P', 'g', 'C', 'k'));
      canProcessReplacing(true);
      programsAreChunks(true);
      setProgram(0);
   }

   void setProgram(int32_t program) override {
      if (program < 0 || program >= kNumPrograms) return;
      curProgram = program;
      state.values = kPrograms[program].values;
   }
   void getProgramName(char* name) override { vst_strncpy(name, kPrograms[curProgram].name, 24); }
   void setParameter(int32_t index, float value) override {
      if (index >= 0 && index < kNumParams) state.values[size_t(index)] = value;
   }
   float getParameter(int32_t index) override {
      return index >= 0 && index < kNumParams ? state.values[size_t(index)] : 0.0f;
   }
   void getParameterName(int32_t index, char* text) override {
      if (index >= 0 && index < kNumParams) vst_strncpy(text, kNames[index], 31);
   }
   int32_t getChunk(void** data, bool) override {
      saved = state;
      *data = &saved;
      return sizeof saved;
   }
   // A chunk of another size is refused.
   int32_t setChunk(void* data, int32_t byteSize, bool) override {
      if (data == nullptr || byteSize != int32_t(sizeof(Chunk))) return 0;
      std::memcpy(&state, data, sizeof state);
      return 1;
   }
   int32_t canDo(char* text) override {
      return std::strcmp(text, "receiveVstMidiEvent") == 0 ? 1 : 0;
   }
   void processReplacing(float** in, float** out, int32_t frames) override {
      if (const VstTimeInfo* time =
              getTimeInfo(kVstTempoValid | kVstPpqPosValid | kVstTimeSigValid)) {
         state.tempo = float(time->tempo);
         state.ppqPos = float(time->ppqPos);
         state.timeSigNumerator = time->timeSigNumerator;
         state.timeSigDenominator = time->timeSigDenominator;
      }
      for (int c = 0; c < 2; ++c) {
         const float gain = state.values[size_t(c)] * state.trim;
         for (int32_t i = 0; i < frames; ++i)
            out[c][i] = in[c][i] * gain;
      }
   }
   bool getEffectName(char* name) override {
      vst_strncpy(name, "ProgramChunk", 32);
      return true;
   }
   bool getVendorString(char* text) override {
      vst_strncpy(text, "Trimwise tests", 64);
      return true;
   }

private:
   Chunk state{{1.0f, 1.0f, 0.5f}, 1.0f, 0.0f, 0.0f, 0, 0};
   Chunk saved{};
};

} // namespace

AudioEffect* createEffectInstance(audioMasterCallback master) {
   return new (std::nothrow) ProgramChunk(master);
}
