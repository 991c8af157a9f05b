// SPDX-License-Identifier: MIT
// Loads the built module the way a host does (dlopen, the entry point, then only the record) and
// checks, sample by sample, when the gate opens and closes for a table of event sequences, in
// 32-bit and in 64-bit processing.
//
//   note_gate_test <module>
#include <trimwise/framework/plugin_interface.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {
int failures = 0;

void expect(bool ok, const std::string& what) {
   if (!ok) {
      ++failures;
      std::fprintf(stderr, "FAILED: %s\n", what.c_str());
   }
}

intptr_t hostCallback(AEffect*, int32_t opcode, int32_t, intptr_t, void*, float) {
   return opcode == audioMasterVersion ? kVstVersion : 0;
}

using Entry = AEffect* (*)(audioMasterCallback);
constexpr int32_t kFrames = 8;

struct Midi {
   int32_t frame;
   unsigned char status, data1, data2;
};

// One block of events, then the gate's expected state at each of its frames (1 open, 0 closed).
struct Block {
   std::vector<Midi> events;
   const char* open;
};

struct Case {
   const char* name;
   std::vector<Block> blocks;
};

const std::vector<Case> kCases = {
    {"no events: closed", {{{}, "00000000"}}},
    {"note-on at frame 3", {{{{3, 0x90, 60, 100}}, "00011111"}}},
    {"note-on at 2, note-off at 5", {{{{2, 0x90, 60, 100}, {5, 0x80, 60, 0}}, "00111000"}}},
    {"velocity 0 is a note-off", {{{{0, 0x90, 60, 100}, {4, 0x90, 60, 0}}, "11110000"}}},
    {"open while any note is held",
     {{{{0, 0x91, 60, 1}, {1, 0x91, 64, 1}, {3, 0x81, 60, 0}, {6, 0x81, 64, 0}}, "11111100"}}},
    {"a repeated note-on needs one note-off",
     {{{{0, 0x90, 60, 1}, {1, 0x90, 60, 1}, {2, 0x80, 60, 0}}, "11000000"}}},
    {"all notes off", {{{{0, 0x90, 60, 1}, {0, 0x90, 61, 1}, {5, 0xB0, 123, 0}}, "11111000"}}},
    {"other controllers change nothing", {{{{0, 0x90, 60, 1}, {2, 0xB0, 7, 0}}, "11111111"}}},
    {"held across blocks", {{{{6, 0x90, 60, 1}}, "00000011"}, {{{1, 0x80, 60, 0}}, "10000000"}}},
    {"past the block: from the next block on",
     {{{{100, 0x90, 60, 1}}, "00000000"}, {{}, "11111111"}}},
    {"negative frame: from the first frame", {{{{-5, 0x90, 60, 1}}, "11111111"}}},
    {"out of order: at the later frame", {{{{5, 0x90, 60, 1}, {2, 0x90, 61, 1}}, "00000111"}}},
};

struct Plugin {
   AEffect* effect;
   intptr_t call(int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr,
                 float opt = 0.0f) {
      return effect->dispatcher(effect, opcode, index, value, ptr, opt);
   }
};

Plugin open(Entry entry) {
   Plugin p{entry(hostCallback)};
   p.call(effOpen);
   p.call(effSetSampleRate, 0, 0, nullptr, 48000.0f);
   p.call(effSetBlockSize, 0, kFrames);
   p.call(effMainsChanged, 0, 1);
   return p;
}

void sendEvents(Plugin& p, const std::vector<Midi>& midi) {
   // The record declares two pointers; room for more follows it, as hosts allocate it.
   std::vector<VstMidiEvent> records(midi.size());
   std::vector<char> storage(sizeof(VstEvents) + midi.size() * sizeof(VstEvent*));
   auto* events = reinterpret_cast<VstEvents*>(storage.data());
   events->numEvents = int32_t(midi.size());
   for (size_t i = 0; i < midi.size(); ++i) {
      records[i] = {};
      records[i].type = kVstMidiType;
      records[i].byteSize = sizeof(VstMidiEvent);
      records[i].deltaFrames = midi[i].frame;
      records[i].midiData[0] = char(midi[i].status);
      records[i].midiData[1] = char(midi[i].data1);
      records[i].midiData[2] = char(midi[i].data2);
      events->events[i] = reinterpret_cast<VstEvent*>(&records[i]);
   }
   expect(p.call(effProcessEvents, 0, 0, events) == 1, "effProcessEvents answers 1");
}

// Runs one case at one precision; every output sample must be exactly input x gain.
template <typename T>
void runCase(Entry entry, const Case& c, float closedGain) {
   Plugin p = open(entry);
   p.effect->setParameter(p.effect, 0, closedGain);
   for (const Block& block : c.blocks) {
      sendEvents(p, block.events);
      T in[2][kFrames], out[2][kFrames + 1];
      for (int32_t i = 0; i < kFrames; ++i) {
         in[0][i] = T(i + 1) * T(0.125);
         in[1][i] = -T(i + 1) * T(0.0625);
      }
      std::memset(out, 0x7F, sizeof out);
      T* ins[] = {in[0], in[1]};
      T* outs[] = {out[0], out[1]};
      if constexpr (sizeof(T) == sizeof(float)) {
         p.effect->processReplacing(p.effect, ins, outs, kFrames);
      } else {
         p.effect->processDoubleReplacing(p.effect, ins, outs, kFrames);
      }
      for (int32_t ch = 0; ch < 2; ++ch) {
         for (int32_t i = 0; i < kFrames; ++i) {
            const T gain = block.open[i] == '1' ? T(1) : T(closedGain);
            expect(out[ch][i] == in[ch][i] * gain,
                   std::string(c.name) + (sizeof(T) == 4 ? " (32-bit)" : " (64-bit)") +
                       ": channel " + std::to_string(ch) + ", frame " + std::to_string(i));
         }
         T guard;
         std::memset(&guard, 0x7F, sizeof guard);
         expect(std::memcmp(&out[ch][kFrames], &guard, sizeof guard) == 0,
                std::string(c.name) + ": nothing written past the block");
      }
   }
   p.call(effMainsChanged, 0, 0);
   p.call(effClose);
}
} // namespace

int main(int argc, char** argv) {
   if (argc != 2) {
      std::fprintf(stderr, "usage: note_gate_test <module>\n");
      return 2;
   }
   void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
   if (module == nullptr) {
      std::fprintf(stderr, "cannot load %s: %s\n", argv[1], dlerror());
      return 1;
   }
   auto entry = reinterpret_cast<Entry>(dlsym(module, "VSTPluginMain"));
   expect(entry != nullptr && entry == reinterpret_cast<Entry>(dlsym(module, "main")),
          "VSTPluginMain and main are one function");
   if (entry == nullptr) return 1;

   {
      Plugin p = open(entry);
      expect(p.effect->magic == kEffectMagic, "the record has the magic");
      expect((p.effect->flags & effFlagsCanDoubleReplacing) != 0, "64-bit processing is offered");
      char text[] = "receiveVstMidiEvent";
      expect(p.call(effCanDo, 0, 0, text) == 1, "says it receives MIDI events");
      p.call(effClose);
   }
   for (const Case& c : kCases) {
      for (float closed : {0.25f, 0.0f}) {
         runCase<float>(entry, c, closed);
         runCase<double>(entry, c, closed);
      }
   }
   // Nothing may keep the module mapped after the host closes it (unique symbols would).
   dlclose(module);
   expect(dlopen(argv[1], RTLD_NOW | RTLD_NOLOAD) == nullptr, "dlclose unloads the module");
   std::printf("%zu cases, %d failures\n", kCases.size(), failures);
   return failures == 0 ? 0 : 1;
}
