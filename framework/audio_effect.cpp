// SPDX-License-Identifier: MIT
#include <trimwise/framework/audio_effect.h>

#include <cfloat>
#include <cmath>
#include <cstring>

namespace {

// Narrowing a double outside the float range is not defined by the language; saturate to the
// infinity of the same sign, which the text operations then show as "Huge!".
float narrowToFloat(double v) {
   if (v > double(FLT_MAX)) return HUGE_VALF;
   if (v < -double(FLT_MAX)) return -HUGE_VALF;
   return static_cast<float>(v);
}

// Writes the decimal digits of n (no sign, no leading zeros; "0" for zero) into buf, which
// must hold 21 bytes, and returns the start of the text.
char* unsignedDigits(uint64_t n, char (&buf)[21]) {
   char* p = buf + sizeof buf - 1;
   *p = '\0';
   do {
      *--p = static_cast<char>('0' + n % 10);
      n /= 10;
   } while (n != 0);
   return p;
}

} // namespace

char* vst_strncpy(char* dst, const char* src, size_t maxLen) {
   if (dst == nullptr) return dst;
   size_t i = 0;
   if (src != nullptr) {
      for (; i < maxLen && src[i] != '\0'; ++i)
         dst[i] = src[i];
   }
   for (; i < maxLen; ++i)
      dst[i] = '\0';
   dst[maxLen] = '\0';
   return dst;
}

char* vst_strncat(char* dst, const char* src, size_t maxLen) {
   if (dst == nullptr) return dst;
   size_t len = 0;
   while (len < maxLen && dst[len] != '\0')
      ++len;
   if (src != nullptr) {
      for (size_t i = 0; len < maxLen && src[i] != '\0'; ++i)
         dst[len++] = src[i];
   }
   dst[len] = '\0';
   dst[maxLen] = '\0';
   return dst;
}

AudioEffect::AudioEffect(audioMasterCallback audioMaster, int32_t numPrograms, int32_t numParams)
    : audioMaster(audioMaster), editor(nullptr), sampleRate(44100.0f), blockSize(1024),
      numPrograms(numPrograms), numParams(numParams), curProgram(0) {
   std::memset(&cEffect, 0, sizeof cEffect);
   cEffect.magic = kEffectMagic;
   cEffect.dispatcher = dispatchEffectClass;
   cEffect.process = processClass;
   cEffect.setParameter = setParameterClass;
   cEffect.getParameter = getParameterClass;
   cEffect.numPrograms = numPrograms;
   cEffect.numParams = numParams;
   cEffect.numInputs = 1;
   cEffect.numOutputs = 2;
   cEffect.ioRatio = 1.0f;
   cEffect.object = this;
   cEffect.uniqueID = fourCharCode('N', 'o', 'E', 'f');
   cEffect.version = 1;
   cEffect.processReplacing = processClassReplacing;
   AudioEffect::canProcessReplacing(true);
   cEffect.processDoubleReplacing = processClassDoubleReplacing;
}

AudioEffect::~AudioEffect() {
   delete editor;
}

void AudioEffect::setEditor(AEffEditor* newEditor) {
   editor = newEditor;
   setFlag(effFlagsHasEditor, newEditor != nullptr);
}

namespace {
// Base commands that read or write through ptr.
bool needsPointer(int32_t opcode) {
   switch (opcode) {
   case effSetProgramName:
   case effGetProgramName:
   case effGetParamLabel:
   case effGetParamDisplay:
   case effGetParamName:
   case effEditGetRect:
   case effGetChunk:
   case effSetChunk:
      return true;
   default:
      return false;
   }
}
} // namespace

intptr_t AudioEffect::dispatcher(int32_t opcode, int32_t index, intptr_t value, void* ptr,
                                 float opt) {
   // Negative opcodes compare as huge unsigned numbers and fall out here too.
   if (static_cast<uint32_t>(opcode) > uint32_t(effSetChunk)) return 0;

   // Commands that read or write through ptr need it: a null one is refused with 0 and nothing
   // is called, rather than crashing the host. The extended dispatcher guards its own the same way.
   if (ptr == nullptr && needsPointer(opcode)) return 0;
   char* text = static_cast<char*>(ptr);
   switch (opcode) {
   case effOpen:
      open();
      return 0;
   case effClose:
      close();
      return 0;
   case effSetProgram:
      // The whole pointer-sized value is compared, so 2^32 does not wrap to program 0.
      if (value < static_cast<intptr_t>(numPrograms)) setProgram(static_cast<int32_t>(value));
      return 0;
   case effGetProgram:
      return getProgram();
   case effSetProgramName:
      setProgramName(text);
      return 0;
   case effGetProgramName:
      getProgramName(text);
      return 0;
   case effGetParamLabel:
      getParameterLabel(index, text);
      return 0;
   case effGetParamDisplay:
      getParameterDisplay(index, text);
      return 0;
   case effGetParamName:
      getParameterName(index, text);
      return 0;
   case effSetSampleRate:
      setSampleRate(opt);
      return 0;
   case effSetBlockSize:
      setBlockSize(static_cast<int32_t>(value));
      return 0;
   case effMainsChanged:
      if (value == 0) {
         suspend();
      } else {
         resume();
      }
      return 0;
   case effEditGetRect:
      if (editor != nullptr) return editor->getRect(static_cast<ERect**>(ptr));
      return 0;
   case effEditOpen:
      if (editor != nullptr) return editor->open(ptr);
      return 0;
   case effEditClose:
      if (editor != nullptr) editor->close();
      return 0;
   case effEditIdle:
      if (editor != nullptr) editor->idle();
      return 0;
   case effIdentify:
      return fourCharCode('N', 'v', 'E', 'f');
   case effGetChunk:
      return getChunk(static_cast<void**>(ptr), index != 0);
   case effSetChunk:
      return setChunk(ptr, static_cast<int32_t>(value), index != 0);
   default: // effGetVu and the deprecated editor commands
      return 0;
   }
}

// --- Defaults of the small operations

void AudioEffect::processDoubleReplacing(double**, double**, int32_t) {}

void AudioEffect::process(float**, float**, int32_t) {}

void AudioEffect::setParameter(int32_t, float) {}

float AudioEffect::getParameter(int32_t) {
   return 0.0f;
}

void AudioEffect::setProgramName(char*) {}

void AudioEffect::getProgramName(char* name) {
   *name = '\0';
}

void AudioEffect::getParameterLabel(int32_t, char* label) {
   *label = '\0';
}

void AudioEffect::getParameterDisplay(int32_t, char* text) {
   *text = '\0';
}

void AudioEffect::getParameterName(int32_t, char* text) {
   *text = '\0';
}

int32_t AudioEffect::getChunk(void**, bool) {
   return 0;
}

int32_t AudioEffect::setChunk(void*, int32_t, bool) {
   return 0;
}

// --- Base host requests

intptr_t AudioEffect::callHost(int32_t opcode, int32_t index, intptr_t value, void* ptr,
                               float opt) {
   if (audioMaster == nullptr) return 0;
   return audioMaster(&cEffect, opcode, index, value, ptr, opt);
}

void AudioEffect::setParameterAutomated(int32_t index, float value) {
   setParameter(index, value);
   if (audioMaster != nullptr) callHost(audioMasterAutomate, index, 0, nullptr, value);
}

int32_t AudioEffect::getMasterVersion() {
   int32_t version = 1;
   if (audioMaster != nullptr) {
      version = static_cast<int32_t>(callHost(audioMasterVersion));
      if (version == 0) version = 1; // a host too old to answer
   }
   return version;
}

int32_t AudioEffect::getCurrentUniqueId() {
   return static_cast<int32_t>(callHost(audioMasterCurrentId));
}

void AudioEffect::masterIdle() {
   if (audioMaster != nullptr) callHost(audioMasterIdle);
}

// The host answers 0 for a connected pin; these answer the plain question.
bool AudioEffect::isInputConnected(int32_t input) {
   return static_cast<int32_t>(callHost(audioMasterPinConnected, input, 0)) == 0;
}

bool AudioEffect::isOutputConnected(int32_t output) {
   return static_cast<int32_t>(callHost(audioMasterPinConnected, output, 1)) == 0;
}

// --- Value texts
//
// A negative maxLen would widen to an unbounded count; such a call writes nothing.

void AudioEffect::dB2string(float value, char* text, int32_t maxLen) {
   if (maxLen < 0) return;
   if (value <= 0.0f) {
      vst_strncpy(text, "-oo", size_t(maxLen));
      return;
   }
   float2string(narrowToFloat(20.0 * double(std::log10(value))), text, maxLen);
}

void AudioEffect::Hz2string(float samples, char* text, int32_t maxLen) {
   const float rate = getSampleRate();
   if (samples == 0.0f) {
      float2string(0.0f, text, maxLen);
   } else {
      float2string(rate / samples, text, maxLen);
   }
}

void AudioEffect::ms2string(float samples, char* text, int32_t maxLen) {
   float2string(narrowToFloat(double(samples) * 1000.0 / double(getSampleRate())), text, maxLen);
}

// Eight characters: sign, integer digits, point and as many fraction digits as fit. Every digit
// is a truncation of the exact stored value, never rounded. The value is a float, so its
// integer part (below 10^8 here) and its fraction scaled by at most 10^6 are both exact in a
// double and the digits can be taken with integer arithmetic.
void AudioEffect::float2string(float value, char* text, int32_t maxLen) {
   if (maxLen < 0) return;
   const size_t limit = size_t(maxLen);
   constexpr int kBudget = 8;

   double v = value;
   int c = 0;
   const bool negative = v < 0.0;
   if (negative) {
      v = -v;
      c = 1;
      if (v > 9999999.0) {
         vst_strncpy(text, "Huge!", limit);
         return;
      }
   } else if (v > 99999999.0) {
      vst_strncpy(text, "Huge!", limit);
      return;
   }
   // Not a number passes both tests above; all of its digits are shown as zeros.
   if (std::isnan(v)) v = 0.0;

   const double integ = std::floor(v);
   char digitsBuf[21];
   const char* intDigits = unsignedDigits(static_cast<uint64_t>(integ), digitsBuf);
   const int numIntDigits = static_cast<int>(std::strlen(intDigits));

   char out[32];
   size_t n = 0;
   if (negative) out[n++] = '-';
   std::memcpy(out + n, intDigits, size_t(numIntDigits));
   n += size_t(numIntDigits);

   c += numIntDigits;
   if (c >= kBudget) {
      // The leading digit has no place left for the point: show the exact integer digits when
      // they fill the budget exactly, rather than a number with a digit missing.
      out[n] = '\0';
      vst_strncpy(text, c == kBudget ? out : "Huge!", limit);
      return;
   }

   out[n++] = '.';
   ++c;
   const int fractionDigits = kBudget - c;
   if (fractionDigits > 0) {
      constexpr double kPowersOfTen[] = {1.0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7};
      const double scaled = (v - integ) * kPowersOfTen[fractionDigits];
      uint64_t fraction = static_cast<uint64_t>(std::floor(scaled));
      for (int i = fractionDigits - 1; i >= 0; --i) {
         out[n + size_t(i)] = static_cast<char>('0' + fraction % 10);
         fraction /= 10;
      }
      n += size_t(fractionDigits);
   }
   out[n] = '\0';
   vst_strncpy(text, out, limit);
}

// Decimal digits without leading zeros. Values of 10^8 and more are "Huge!"; zero is "0"; large
// negative values, the most negative one included, show their exact digits cut at maxLen.
void AudioEffect::int2string(int32_t value, char* text, int32_t maxLen) {
   if (maxLen < 0) return;
   const size_t limit = size_t(maxLen);
   if (value >= 100000000) {
      vst_strncpy(text, "Huge!", limit);
      return;
   }
   int64_t v = value;
   if (v < 0) {
      vst_strncpy(text, "-", limit);
      v = -v;
   } else {
      vst_strncpy(text, "", limit);
   }
   char digitsBuf[21];
   vst_strncat(text, unsignedDigits(static_cast<uint64_t>(v), digitsBuf), limit);
}

// --- Trampolines: the six functions a host reaches through the record. Each one finds the effect
// object through AEffect::object and makes one virtual call, so the most derived effect answers.

namespace {
AudioEffect* objectOf(AEffect* e) {
   return static_cast<AudioEffect*>(e->object);
}
} // namespace

intptr_t AudioEffect::dispatchEffectClass(AEffect* e, int32_t opcode, int32_t index, intptr_t value,
                                          void* ptr, float opt) {
   AudioEffect* self = objectOf(e);
   if (opcode == effClose) {
      // The effect's own close runs while the object is whole; the record goes with it.
      self->dispatcher(opcode, index, value, ptr, opt);
      delete self;
      return 1;
   }
   return self->dispatcher(opcode, index, value, ptr, opt);
}

float AudioEffect::getParameterClass(AEffect* e, int32_t index) {
   return objectOf(e)->getParameter(index);
}

void AudioEffect::setParameterClass(AEffect* e, int32_t index, float value) {
   objectOf(e)->setParameter(index, value);
}

void AudioEffect::processClass(AEffect* e, float** inputs, float** outputs, int32_t sampleFrames) {
   objectOf(e)->process(inputs, outputs, sampleFrames);
}

void AudioEffect::processClassReplacing(AEffect* e, float** inputs, float** outputs,
                                        int32_t sampleFrames) {
   objectOf(e)->processReplacing(inputs, outputs, sampleFrames);
}

void AudioEffect::processClassDoubleReplacing(AEffect* e, double** inputs, double** outputs,
                                              int32_t sampleFrames) {
   objectOf(e)->processDoubleReplacing(inputs, outputs, sampleFrames);
}
