// SPDX-License-Identifier: MIT
// libFuzzer target over the command entry and the parameter calls. The input bytes drive one
// instance through its record as a host might, in any order: commands with any opcode, index,
// value and opt over null, exact-size and large guarded buffers; parameter calls with any index
// and value bits; processing in both precisions, in place or not, before resume and after
// suspend. Exact-size buffers are heap blocks of just that size, so AddressSanitizer catches a
// byte written past them; large ones carry guard bytes checked here. Processed samples are
// checked against input x gain.
#include <trimwise/framework/audio_effect.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr int kMaxOperations = 256;
constexpr int32_t kMaxFrames = 1024;
constexpr size_t kLarge = 4096;
constexpr size_t kRecordBytes = 512;
constexpr unsigned char kGuard = 0xC7;

intptr_t hostCallback(AEffect*, int32_t opcode, int32_t, intptr_t, void*, float) {
   return opcode == audioMasterVersion ? kVstVersion : 0;
}

[[noreturn]] void finding() {
   __builtin_trap();
}

// How many bytes a text command may write, or 0 if the opcode writes no text.
size_t textLimit(int32_t opcode) {
   switch (opcode) {
   case effGetParamLabel:
   case effGetParamDisplay:
      return 9;
   case effGetProgramName:
   case effGetProgramNameIndexed:
      return 25;
   case effGetParamName:
   case effGetEffectName:
      return 33;
   case effGetVendorString:
   case effGetProductString:
   case effShellGetNextPlugin:
      return 65;
   default:
      return 0;
   }
}

bool readsText(int32_t opcode) {
   return opcode == effSetProgramName || opcode == effString2Parameter || opcode == effCanDo;
}

bool writesPointer(int32_t opcode) {
   return opcode == effGetChunk || opcode == effEditGetRect;
}

bool passesRecord(int32_t opcode) {
   switch (opcode) {
   case effProcessEvents:
   case effGetInputProperties:
   case effGetOutputProperties:
   case effOfflineNotify:
   case effOfflinePrepare:
   case effOfflineRun:
   case effProcessVarIo:
   case effGetParameterProperties:
   case effGetMidiProgramName:
   case effGetCurrentMidiProgram:
   case effGetMidiProgramCategory:
   case effGetMidiKeyName:
   case effBeginLoadBank:
   case effBeginLoadProgram:
   case effSetChunk:
      return true;
   default:
      return false;
   }
}

class Session {
public:
   explicit Session(FuzzedDataProvider& in) : in_(in) {
      object_ = createEffectInstance(hostCallback);
      effect_ = object_->getAeffect();
      gains_[0] = effect_->getParameter(effect_, 0);
      gains_[1] = effect_->getParameter(effect_, 1);
   }
   ~Session() { effect_->dispatcher(effect_, effClose, 0, 0, nullptr, 0.0f); }

   void step() {
      switch (in_.ConsumeIntegralInRange<int>(0, 6)) {
      case 0:
         knownCommand();
         break;
      case 1:
         anyCommand();
         break;
      case 2:
         textCommand();
         break;
      case 3: {
         const int32_t index = pickIndex();
         const float value = pickValue();
         effect_->setParameter(effect_, index, value);
         if (index == 0 || index == 1) gains_[index] = value;
         break;
      }
      case 4: {
         const int32_t index = pickIndex();
         const float got = effect_->getParameter(effect_, index);
         const float expected = index == 0 || index == 1 ? gains_[index] : 0.0f;
         if (std::memcmp(&got, &expected, sizeof got) != 0) finding();
         break;
      }
      case 5:
         process<float>();
         break;
      case 6:
         process<double>();
         break;
      }
   }

private:
   int32_t pickIndex() {
      switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
      case 0:
         return 0;
      case 1:
         return 1;
      case 2:
         return in_.ConsumeIntegralInRange<int32_t>(-2, 4);
      default:
         return in_.ConsumeIntegral<int32_t>();
      }
   }

   float pickValue() {
      const uint32_t bits = in_.ConsumeIntegral<uint32_t>();
      float v;
      std::memcpy(&v, &bits, sizeof v);
      return v;
   }

   intptr_t pickWord() {
      switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
      case 0:
         return 0;
      case 1:
         return in_.ConsumeIntegralInRange<intptr_t>(-2, 2);
      default:
         return in_.ConsumeIntegral<intptr_t>();
      }
   }

   // A known command (0 to 79 but close) with ptr and value in the shape it needs.
   void knownCommand() {
      int32_t opcode = in_.ConsumeIntegralInRange<int32_t>(0, 79);
      if (opcode == effClose) opcode = effOpen;
      const int32_t index = pickIndex();
      intptr_t value = pickWord();
      const float opt = pickValue();
      const bool null = in_.ConsumeBool();
      if (textLimit(opcode) > 0) {
         text(opcode, index, value, opt);
      } else if (readsText(opcode)) {
         const std::string s = in_.ConsumeRandomLengthString(80);
         std::unique_ptr<char[]> exact(new char[s.size() + 1]);
         std::memcpy(exact.get(), s.c_str(), s.size() + 1);
         effect_->dispatcher(effect_, opcode, index, value, null ? nullptr : exact.get(), opt);
      } else if (writesPointer(opcode)) {
         void* slot = nullptr;
         effect_->dispatcher(effect_, opcode, index, value, null ? nullptr : &slot, opt);
      } else if (passesRecord(opcode)) {
         std::unique_ptr<unsigned char[]> record(new unsigned char[kRecordBytes]());
         if (opcode == effSetChunk) value = intptr_t(kRecordBytes);
         if (opcode >= effOfflineNotify && opcode <= effOfflineRun) value &= 1;
         effect_->dispatcher(effect_, opcode, index, value, null ? nullptr : record.get(), opt);
      } else if (opcode == effSetSpeakerArrangement) {
         std::unique_ptr<unsigned char[]> a(new unsigned char[kRecordBytes]()),
             b(new unsigned char[kRecordBytes]());
         effect_->dispatcher(effect_, opcode, index, null ? 0 : reinterpret_cast<intptr_t>(a.get()),
                             null ? nullptr : b.get(), opt);
      } else if (opcode == effGetSpeakerArrangement) {
         void* a = this;
         void* b = this;
         effect_->dispatcher(effect_, opcode, index, null ? 0 : reinterpret_cast<intptr_t>(&a),
                             null ? nullptr : &b, opt);
         if (!null && (a != nullptr || b != nullptr)) finding();
      } else if (opcode == effEditOpen || opcode == effVendorSpecific) {
         effect_->dispatcher(effect_, opcode, index, value, nullptr, opt);
      } else {
         guardedIgnored(opcode, index, value, opt);
      }
   }

   // Any other number: must answer 0 and touch nothing it is given.
   void anyCommand() {
      int32_t opcode = in_.ConsumeIntegral<int32_t>();
      if (opcode >= 0 && opcode < 80) opcode += 80;
      guardedIgnored(opcode, pickIndex(), pickWord(), pickValue(), true);
   }

   void guardedIgnored(int32_t opcode, int32_t index, intptr_t value, float opt,
                       bool mustAnswerZero = false) {
      std::vector<unsigned char> buffer(256, kGuard);
      const intptr_t answer =
          effect_->dispatcher(effect_, opcode, index, value, buffer.data(), opt);
      if (mustAnswerZero && answer != 0) finding();
      for (unsigned char b : buffer) {
         if (b != kGuard) finding();
      }
   }

   void textCommand() {
      static constexpr int32_t kTextOpcodes[] = {
          effGetProgramName,   effGetParamLabel,         effGetParamDisplay,
          effGetParamName,     effGetEffectName,         effGetVendorString,
          effGetProductString, effGetProgramNameIndexed, effShellGetNextPlugin};
      const int32_t opcode =
          kTextOpcodes[in_.ConsumeIntegralInRange<size_t>(0, std::size(kTextOpcodes) - 1)];
      text(opcode, pickIndex(), pickWord(), pickValue());
   }

   // A text command over a null, an exact-size or a large guarded buffer.
   void text(int32_t opcode, int32_t index, intptr_t value, float opt) {
      const size_t limit = textLimit(opcode);
      switch (in_.ConsumeIntegralInRange<int>(0, 2)) {
      case 0:
         effect_->dispatcher(effect_, opcode, index, value, nullptr, opt);
         break;
      case 1: {
         std::unique_ptr<char[]> exact(new char[limit]);
         std::memset(exact.get(), kGuard, limit);
         effect_->dispatcher(effect_, opcode, index, value, exact.get(), opt);
         if (!terminatedIfWritten(exact.get(), limit)) finding();
         break;
      }
      default: {
         std::vector<char> large(kLarge, char(kGuard));
         effect_->dispatcher(effect_, opcode, index, value, large.data(), opt);
         for (size_t i = limit; i < kLarge; ++i) {
            if (large[i] != char(kGuard)) finding();
         }
         if (!terminatedIfWritten(large.data(), limit)) finding();
         break;
      }
      }
   }

   static bool terminatedIfWritten(const char* text, size_t limit) {
      bool written = false;
      for (size_t i = 0; i < limit; ++i) {
         if (text[i] == '\0') return true;
         written = written || text[i] != char(kGuard);
      }
      return !written;
   }

   template <class T>
   void process() {
      const int32_t frames = in_.ConsumeIntegralInRange<int32_t>(-2, kMaxFrames);
      const bool inPlace = in_.ConsumeBool();
      const size_t n = frames > 0 ? size_t(frames) : 0;
      // Exact-size channels: any sample written past the frame count is an overflow.
      std::unique_ptr<T[]> channels[4];
      for (auto& c : channels)
         c.reset(new T[n == 0 ? 1 : n]);
      for (int c = 0; c < 2; ++c) {
         for (size_t i = 0; i < n; ++i) {
            channels[c][i] = static_cast<T>(in_.remaining_bytes() > 0
                                                ? in_.ConsumeFloatingPointInRange<float>(-4, 4)
                                                : 0.25f * float(i % 8));
         }
      }
      std::vector<T> original[2];
      for (int c = 0; c < 2; ++c)
         original[c].assign(channels[c].get(), channels[c].get() + n);
      T* inputs[2] = {channels[0].get(), channels[1].get()};
      T* outputs[2] = {inPlace ? channels[0].get() : channels[2].get(),
                       inPlace ? channels[1].get() : channels[3].get()};
      if constexpr (sizeof(T) == 4) {
         effect_->processReplacing(effect_, inputs, outputs, frames);
      } else {
         effect_->processDoubleReplacing(effect_, inputs, outputs, frames);
      }
      for (int c = 0; c < 2; ++c) {
         const T gain = static_cast<T>(gains_[c]);
         for (size_t i = 0; i < n; ++i) {
            const T expected = static_cast<T>(original[c][i] * gain);
            const T got = outputs[c][i];
            if (std::isnan(expected) ? !std::isnan(got)
                                     : std::memcmp(&expected, &got, sizeof got) != 0) {
               finding();
            }
         }
      }
   }

   FuzzedDataProvider& in_;
   AudioEffect* object_;
   AEffect* effect_;
   float gains_[2];
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
   FuzzedDataProvider in(data, size);
   Session session(in);
   for (int i = 0; i < kMaxOperations && in.remaining_bytes() > 0; ++i)
      session.step();
   return 0;
}
