// SPDX-License-Identifier: MIT
#include "tests/validate/faulty/faulty_gain.h"

#include <cstring>

FaultyGain::FaultyGain(audioMasterCallback audioMaster) : AudioEffectX(audioMaster, 1, 2) {
   setNumInputs(2);
   setNumOutputs(2);
   setUniqueID(fourCharCode('F', 'l', 't', 'y'));
   canProcessReplacing(true);
   canDoubleReplacing(true);
   gains[0] = 1.0f;
   gains[1] = 1.0f;
   vst_strncpy(programName, "Default", 24);
}

void FaultyGain::processReplacing(float** inputs, float** outputs, int32_t sampleFrames) {
   const float gl = gain(0), gr = gain(1);
   for (int32_t i = 0; i < sampleFrames; ++i) {
      outputs[0][i] = inputs[0][i] * gl;
      outputs[1][i] = inputs[1][i] * gr;
   }
}

void FaultyGain::processDoubleReplacing(double** inputs, double** outputs, int32_t sampleFrames) {
   const double gl = gain(0), gr = gain(1);
   for (int32_t i = 0; i < sampleFrames; ++i) {
      outputs[0][i] = inputs[0][i] * gl;
      outputs[1][i] = inputs[1][i] * gr;
   }
}

void FaultyGain::setParameter(int32_t index, float value) {
   if (valid(index)) gains[index].store(value, std::memory_order_relaxed);
}

float FaultyGain::getParameter(int32_t index) {
   return valid(index) ? gain(index) : 0.0f;
}

void FaultyGain::setProgramName(char* name) {
   vst_strncpy(programName, name, 24);
}

void FaultyGain::getProgramName(char* name) {
   vst_strncpy(name, programName, 24);
}

void FaultyGain::getParameterLabel(int32_t index, char* label) {
   if (valid(index)) vst_strncpy(label, "dB", 8);
}

void FaultyGain::getParameterDisplay(int32_t index, char* text) {
   if (valid(index)) dB2string(gain(index), text, 8);
}

void FaultyGain::getParameterName(int32_t index, char* text) {
   if (valid(index)) std::strcpy(text, index == 0 ? "Left Gain" : "Right Gain");
}

bool FaultyGain::getEffectName(char* name) {
   vst_strncpy(name, "Faulty", 32);
   return true;
}

bool FaultyGain::getVendorString(char* text) {
   vst_strncpy(text, "Quillmark, LLC", 64);
   return true;
}

bool FaultyGain::getProductString(char* text) {
   vst_strncpy(text, "Faulty", 64);
   return true;
}
