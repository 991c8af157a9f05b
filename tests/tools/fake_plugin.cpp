// SPDX-License-Identifier: MIT
// Small plug-ins with known faults, for testing that the host library and `plughost validate`
// notice them. Built several times with FAKE_VARIANT set to one of the values below; each build
// is one module. They are written against the interface header only.
#include <trimwise/framework/plugin_interface.h>

#include <unistd.h>

#include <cstring>
#include <new>

#define FAKE_FAULTY 1    // several faults a validator must report, see below
#define FAKE_REFUSING 2  // the entry never returns a record
#define FAKE_BAD_MAGIC 3 // the record does not carry 'VstP'
#define FAKE_MAIN_ONLY 4 // a correct pass-through exported only under the old name `main`
#define FAKE_NO_ENTRY 5  // exports no entry at all
#define FAKE_CRASHING 6  // the entry writes through a null pointer
// Loads and opens fine, then writes through a null pointer in its first processing call.
#define FAKE_CRASHING_PROCESS 7
#define FAKE_HANGING 8   // the entry never returns
#define FAKE_ODD_TEXTS 9 // no programs, category 5, texts with bytes a host must not print as is
// No inputs, two outputs: an impulse of the velocity at each note-on on the first, a constant
// 0.25 on the second.
#define FAKE_INSTRUMENT 10
// Halves its input while its second parameter (Beta) is at most 0.5; above that the first
// processing call hangs, above 0.75 it writes through a null pointer. Lets one file of a batch
// fail while the others pass.
#define FAKE_MOODY 11

#ifndef FAKE_VARIANT
#error "FAKE_VARIANT must be defined"
#endif

namespace {

// A label of 12 characters where the interface allows 8. Its last character equals one of the
// fill bytes a careful host uses to find out how far a text was written.
constexpr char kOverlongLabel[] = "overlongXYZ\xA5";
constexpr int32_t kReservedFlag = 1 << 20;

// Read through a volatile pointer, so the compiler cannot see that the store below faults. The
// crash must be a real fault in sanitizer builds too, not a sanitizer's report of it.
int* volatile nowhere = nullptr;
__attribute__((no_sanitize("undefined"))) void crash() {
   *nowhere = 1;
}

struct Fake {
   AEffect record{};
   audioMasterCallback host = nullptr;
   float params[2] = {0.0f, 0.0f};
   // Note-ons of the coming block: frame and velocity.
   int32_t noteFrames[64] = {};
   float noteLevels[64] = {};
   int32_t notes = 0;
};

Fake* fakeOf(AEffect* e) {
   return static_cast<Fake*>(e->object);
}

intptr_t dispatch(AEffect* e, int32_t opcode, int32_t index, intptr_t, void* ptr, float) {
   switch (opcode) {
   case effClose:
      delete fakeOf(e);
      return 1;
   case effGetParamLabel:
      if (FAKE_VARIANT == FAKE_FAULTY && index == 0) {
         std::memcpy(ptr, kOverlongLabel, sizeof kOverlongLabel);
      } else {
         std::strcpy(static_cast<char*>(ptr), "x");
      }
      return 0;
   case effGetParamName:
      std::strcpy(static_cast<char*>(ptr), index == 0 ? "Alpha" : "Beta");
      return 0;
   case effGetParamDisplay:
      std::strcpy(static_cast<char*>(ptr), "0");
      return 0;
   case effGetProgramName:
      // With no programs, this one leaves the whole host buffer as it found it, as the plug-in
      // that showed 256 bytes of garbage for its program did.
      if (FAKE_VARIANT != FAKE_ODD_TEXTS) std::strcpy(static_cast<char*>(ptr), "0");
      return 0;
   case effGetEffectName:
      if (FAKE_VARIANT == FAKE_ODD_TEXTS) {
         // UTF-8 kept, a control byte and a lone 0xFF escaped, and nothing after the NUL.
         constexpr char kName[] = "Fake \xC2\xB5s\x01\xFF\0tail";
         std::memcpy(ptr, kName, sizeof kName);
      } else {
         std::strcpy(static_cast<char*>(ptr), "Fake");
      }
      return 1;
   case effGetPlugCategory:
      return FAKE_VARIANT == FAKE_ODD_TEXTS ? 5 : 0;
   case effProcessEvents: {
      Fake* fake = fakeOf(e);
      const auto* list = static_cast<const VstEvents*>(ptr);
      for (int32_t i = 0; i < list->numEvents && fake->notes < 64; ++i) {
         const auto* m = reinterpret_cast<const VstMidiEvent*>(list->events[i]);
         const auto status = static_cast<unsigned char>(m->midiData[0]);
         if (m->type != kVstMidiType || (status & 0xF0) != 0x90 || m->midiData[2] == 0) continue;
         fake->noteFrames[fake->notes] = m->deltaFrames;
         fake->noteLevels[fake->notes++] = static_cast<float>(m->midiData[2]) / 127.0f;
      }
      return 1;
   }
   default:
      return 0;
   }
}

void setParameter(AEffect* e, int32_t index, float value) {
   if (index < 0 || index > 1) return;
   fakeOf(e)->params[index] = value;
   // Fault: setting the first parameter drags the second one along.
   if (FAKE_VARIANT == FAKE_FAULTY && index == 0) fakeOf(e)->params[1] = value;
}

float getParameter(AEffect* e, int32_t index) {
   return index < 0 || index > 1 ? 0.0f : fakeOf(e)->params[index];
}

void processReplacing(AEffect* e, float** in, float** out, int32_t frames) {
   if (FAKE_VARIANT == FAKE_CRASHING_PROCESS) crash();
   if (FAKE_VARIANT == FAKE_MOODY && fakeOf(e)->params[1] > 0.75f) crash();
   while (FAKE_VARIANT == FAKE_MOODY && fakeOf(e)->params[1] > 0.5f)
      pause();
   for (int32_t i = 0; i < frames; ++i) {
      out[0][i] = in[0][i] * 0.5f;
      out[1][i] = in[1][i] * 0.5f;
   }
   // Fault: one sample too many on the first output.
   if (FAKE_VARIANT == FAKE_FAULTY && frames > 0) out[0][frames] = 0.0f;
}

void processInstrument(AEffect* e, float**, float** out, int32_t frames) {
   Fake* fake = fakeOf(e);
   const auto* time = reinterpret_cast<const VstTimeInfo*>(
       fake->host(e, audioMasterGetTime, 0, kVstTempoValid, nullptr, 0.0f));
   const float tempo =
       time && (time->flags & kVstTempoValid) ? static_cast<float>(time->tempo / 240.0) : -1.0f;
   for (int32_t i = 0; i < frames; ++i) {
      out[0][i] = 0.0f;
      out[1][i] = tempo;
   }
   for (int32_t n = 0; n < fake->notes; ++n) {
      if (fake->noteFrames[n] >= 0 && fake->noteFrames[n] < frames) {
         out[0][fake->noteFrames[n]] = fake->noteLevels[n];
      }
   }
   fake->notes = 0;
}

void processAccumulating(AEffect*, float**, float**, int32_t) {}

AEffect* create(audioMasterCallback host) {
   if (FAKE_VARIANT == FAKE_CRASHING) crash();
   while (FAKE_VARIANT == FAKE_HANGING)
      pause();
   const intptr_t version = host(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f);
   // Fault: creates an instance even for a host that answers 0.
   if (version == 0 && FAKE_VARIANT != FAKE_FAULTY) return nullptr;
   if (FAKE_VARIANT == FAKE_REFUSING) return nullptr;
   // A host cannot close a record without the magic, so that one is never freed: it lives in
   // static storage rather than leaking.
   static Fake unclosable;
   auto* fake = FAKE_VARIANT == FAKE_BAD_MAGIC ? &unclosable : new (std::nothrow) Fake;
   if (!fake) return nullptr;
   fake->host = host;
   AEffect& r = fake->record;
   r.magic = FAKE_VARIANT == FAKE_BAD_MAGIC ? 0 : kEffectMagic;
   r.dispatcher = dispatch;
   r.process = processAccumulating;
   r.setParameter = setParameter;
   r.getParameter = getParameter;
   r.numPrograms = FAKE_VARIANT == FAKE_ODD_TEXTS ? 0 : 1;
   r.numParams = 2;
   r.numInputs = FAKE_VARIANT == FAKE_INSTRUMENT ? 0 : 2;
   r.numOutputs = 2;
   r.flags = effFlagsCanReplacing | (FAKE_VARIANT == FAKE_FAULTY ? kReservedFlag : 0) |
             (FAKE_VARIANT == FAKE_INSTRUMENT ? effFlagsIsSynth : 0);
   r.ioRatio = 1.0f;
   r.object = fake;
   r.uniqueID = fourCharCode('F', 'a', 'k', 'e');
   r.version = 1;
   r.processReplacing = FAKE_VARIANT == FAKE_INSTRUMENT ? processInstrument : processReplacing;
   return &r;
}

} // namespace

#if FAKE_VARIANT == FAKE_MAIN_ONLY
// `main` cannot be declared as an ordinary C++ function of this type, so the export gets its
// symbol name from an assembler label.
extern "C" __attribute__((visibility("default"))) AEffect*
fakeMain(audioMasterCallback host) __asm__("main");
extern "C" AEffect* fakeMain(audioMasterCallback host) {
   return create(host);
}
#elif FAKE_VARIANT != FAKE_NO_ENTRY
extern "C" __attribute__((visibility("default"))) AEffect* VSTPluginMain(audioMasterCallback host) {
   return create(host);
}
#else
// Keep create() referenced so the module builds without warnings.
extern "C" __attribute__((visibility("default"))) void* notAnEntry() {
   return reinterpret_cast<void*>(&create);
}
#endif
