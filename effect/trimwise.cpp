// SPDX-License-Identifier: MIT
#include "effect/trimwise.h"

#include "effect/gain_kernels.h"

#include <cstring>
#include <new>

namespace {
constexpr int32_t kLeft = 0;
constexpr int32_t kRight = 1;
constexpr int32_t kLabelLength = 8;
constexpr int32_t kDisplayLength = 8;
constexpr int32_t kEffectNameLength = 32;
constexpr int32_t kVendorStringLength = 64;
constexpr int32_t kProductStringLength = 64;
constexpr int32_t kVendorVersion = 1000;
constexpr auto kRelaxed = std::memory_order_relaxed;

const char* const kParameterNames[Trimwise::kNumParams] = {"Left Gain", "Right Gain"};
} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new (std::nothrow) Trimwise(audioMaster);
}

Trimwise::Trimwise(audioMasterCallback audioMaster)
    : AudioEffectX(audioMaster, kNumPrograms, kNumParams), leftGain(1.0f), rightGain(1.0f) {
   setNumInputs(2);
   setNumOutputs(2);
   setUniqueID(kUniqueId);
   canProcessReplacing(true);
   canDoubleReplacing(true);
   vst_strncpy(programName, "Default", kProgramNameLength);
}

Trimwise::~Trimwise() = default;

// --- Processing

namespace {
// The first two channel pointers of each array; false (process nothing) when any is missing.
template <typename T>
bool stereoChannels(T** inputs, T** outputs, T*& inL, T*& inR, T*& outL, T*& outR) {
   if (inputs == nullptr || outputs == nullptr) return false;
   inL = inputs[0];
   inR = inputs[1];
   outL = outputs[0];
   outR = outputs[1];
   return inL != nullptr && inR != nullptr && outL != nullptr && outR != nullptr;
}
} // namespace

void Trimwise::processReplacing(float** inputs, float** outputs, int32_t sampleFrames) {
   float *inL, *inR, *outL, *outR;
   if (sampleFrames <= 0 || !stereoChannels(inputs, outputs, inL, inR, outL, outR)) return;
   trimwise::applyStereoGain(inL, inR, outL, outR, size_t(sampleFrames), leftGain.load(kRelaxed),
                             rightGain.load(kRelaxed));
}

// The gains are single precision; widening them is exact, so the 64-bit path multiplies by
// exactly the value the host set (0.1f is 0.100000001490116..., not the double nearest 0.1).
void Trimwise::processDoubleReplacing(double** inputs, double** outputs, int32_t sampleFrames) {
   double *inL, *inR, *outL, *outR;
   if (sampleFrames <= 0 || !stereoChannels(inputs, outputs, inL, inR, outL, outR)) return;
   trimwise::applyStereoGain(inL, inR, outL, outR, size_t(sampleFrames),
                             double(leftGain.load(kRelaxed)), double(rightGain.load(kRelaxed)));
}

// --- Parameters

void Trimwise::setParameter(int32_t index, float value) {
   if (index == kLeft) {
      leftGain.store(value, kRelaxed);
   } else if (index == kRight) {
      rightGain.store(value, kRelaxed);
   }
}

float Trimwise::getParameter(int32_t index) {
   if (index == kLeft) return leftGain.load(kRelaxed);
   if (index == kRight) return rightGain.load(kRelaxed);
   return 0.0f;
}

void Trimwise::getParameterName(int32_t index, char* text) {
   if (index < 0 || index >= kNumParams) return;
   // Copied whole with its NUL: the host's buffer must hold 11 bytes.
   std::strcpy(text, kParameterNames[index]);
}

void Trimwise::getParameterLabel(int32_t index, char* label) {
   if (index < 0 || index >= kNumParams) return;
   vst_strncpy(label, "dB", kLabelLength);
}

void Trimwise::getParameterDisplay(int32_t index, char* text) {
   if (index == kLeft) {
      dB2string(leftGain.load(kRelaxed), text, kDisplayLength);
   } else if (index == kRight) {
      dB2string(rightGain.load(kRelaxed), text, kDisplayLength);
   }
}

// --- Program and identity

void Trimwise::setProgramName(char* name) {
   vst_strncpy(programName, name, kProgramNameLength);
}

void Trimwise::getProgramName(char* name) {
   vst_strncpy(name, programName, kProgramNameLength);
}

bool Trimwise::getEffectName(char* name) {
   vst_strncpy(name, "Trimwise", kEffectNameLength);
   return true;
}

bool Trimwise::getVendorString(char* text) {
   vst_strncpy(text, "Quillmark, LLC", kVendorStringLength);
   return true;
}

bool Trimwise::getProductString(char* text) {
   vst_strncpy(text, "Bivalor", kProductStringLength);
   return true;
}

int32_t Trimwise::getVendorVersion() {
   return kVendorVersion;
}
