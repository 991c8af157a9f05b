// SPDX-License-Identifier: MIT
#include "tests/analysis/plugins/known_answer.h"

#include <cmath>
#include <cstdio>

KnownAnswerEffect::KnownAnswerEffect(audioMasterCallback audioMaster, const char* name,
                                     int32_t uniqueId,
                                     std::initializer_list<KnownAnswerParameter> parameters)
    : AudioEffectX(audioMaster, 1, static_cast<int32_t>(parameters.size())), effectName(name) {
   setNumInputs(2);
   setNumOutputs(2);
   setUniqueID(uniqueId);
   canProcessReplacing(true);
   canDoubleReplacing(true);
   for (const KnownAnswerParameter& info : parameters) {
      if (count == kMaxParameters) break;
      infos[count] = info;
      values[count].store(info.value, std::memory_order_relaxed);
      ++count;
   }
   vst_strncpy(programName, "Default", 24);
}

void KnownAnswerEffect::prepare() {
   allocate();
   update();
   clear();
}

void KnownAnswerEffect::setSampleRate(float newRate) {
   AudioEffectX::setSampleRate(newRate);
   prepare();
}

void KnownAnswerEffect::resume() {
   AudioEffectX::resume();
   changed.store(false, std::memory_order_relaxed);
   update();
   clear();
}

void KnownAnswerEffect::setParameter(int32_t index, float value) {
   if (!valid(index)) return;
   values[index].store(value, std::memory_order_relaxed);
   changed.store(true, std::memory_order_release);
}

float KnownAnswerEffect::getParameter(int32_t index) {
   return valid(index) ? values[index].load(std::memory_order_relaxed) : 0.0f;
}

void KnownAnswerEffect::getParameterName(int32_t index, char* text) {
   if (valid(index)) vst_strncpy(text, infos[index].name, 8);
}

void KnownAnswerEffect::getParameterLabel(int32_t index, char* label) {
   if (valid(index)) vst_strncpy(label, infos[index].label, 8);
}

void KnownAnswerEffect::getParameterDisplay(int32_t index, char* text) {
   if (!valid(index)) return;
   char shown[32];
   std::snprintf(shown, sizeof shown, "%.4g", parameter(index));
   vst_strncpy(text, shown, 8);
}

void KnownAnswerEffect::setProgramName(char* name) {
   vst_strncpy(programName, name, 24);
}

void KnownAnswerEffect::getProgramName(char* name) {
   vst_strncpy(name, programName, 24);
}

bool KnownAnswerEffect::getEffectName(char* name) {
   vst_strncpy(name, effectName, 32);
   return true;
}

bool KnownAnswerEffect::getVendorString(char* text) {
   vst_strncpy(text, "Quillmark, LLC", 64);
   return true;
}

bool KnownAnswerEffect::getProductString(char* text) {
   vst_strncpy(text, effectName, 64);
   return true;
}

double knownAnswerGain(double decibels) {
   return std::pow(10.0, decibels / 20.0);
}
