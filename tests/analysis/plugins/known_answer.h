// SPDX-License-Identifier: MIT
// The common part of the known-answer plug-ins: effects whose response is known in closed form,
// so that `plughost analyze` can be checked against numbers worked out independently of it.
// Each is a stereo effect on the real framework with named parameters (host values 0..1, each
// mapped to the physical value its display shows), 32- and 64-bit processing with the state in
// double, and coefficients derived from the sample rate whenever the rate is set or processing
// resumes, so that a host (or an analyzer) that forgets to pass a new rate gets a wrong answer.
#pragma once

#include <trimwise/framework/audio_effect_x.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>

struct KnownAnswerParameter {
   const char* name;
   const char* label;
   float value; // the default, as a host value 0..1
};

class KnownAnswerEffect : public AudioEffectX {
public:
   static constexpr int32_t kMaxParameters = 4;

   KnownAnswerEffect(audioMasterCallback audioMaster, const char* name, int32_t uniqueId,
                     std::initializer_list<KnownAnswerParameter> parameters);

   void setSampleRate(float sampleRate) override;
   void resume() override;
   void setParameter(int32_t index, float value) override;
   float getParameter(int32_t index) override;
   void getParameterName(int32_t index, char* text) override;
   void getParameterLabel(int32_t index, char* label) override;
   void getParameterDisplay(int32_t index, char* text) override;
   void setProgramName(char* name) override;
   void getProgramName(char* name) override;
   bool getEffectName(char* name) override;
   bool getVendorString(char* text) override;
   bool getProductString(char* text) override;

protected:
   // The physical value (Hz, dB, ms, s, ...) of host value `value` of parameter `index`.
   virtual double physical(int32_t index, double value) const = 0;
   // Sizes the buffers for the current rate; never runs while a block is processed.
   virtual void allocate() {}
   // Derives the coefficients from the rate and the parameters. Runs on the audio thread too, at
   // the start of a block after a parameter changed, so it allocates nothing.
   virtual void update() = 0;
   // Clears the signal state (filters, delay lines) to silence.
   virtual void clear() = 0;

   // Every derived constructor ends with this: the virtual steps above are not yet theirs in
   // this class's constructor.
   void prepare();
   double parameter(int32_t index) const {
      return physical(index, values[index].load(std::memory_order_relaxed));
   }
   // At the start of each block: takes up the parameter changes made since the last block.
   void beginBlock() {
      if (changed.exchange(false, std::memory_order_acquire)) update();
   }
   double rate() const { return sampleRate; }

private:
   bool valid(int32_t index) const { return index >= 0 && index < count; }

   const char* effectName;
   int32_t count = 0;
   KnownAnswerParameter infos[kMaxParameters];
   std::atomic<float> values[kMaxParameters];
   std::atomic<bool> changed{false};
   char programName[25];
};

// The processing entry points of effect `Effect`, which provides
// `template <typename T> void run(T** inputs, T** outputs, int32_t frames)` for float and double.
// Inputs and outputs may be the same buffers: `run` reads each frame before writing it.
template <class Effect>
class KnownAnswer : public KnownAnswerEffect {
public:
   using KnownAnswerEffect::KnownAnswerEffect;

   void processReplacing(float** inputs, float** outputs, int32_t frames) override {
      beginBlock();
      static_cast<Effect*>(this)->run(inputs, outputs, frames);
   }
   void processDoubleReplacing(double** inputs, double** outputs, int32_t frames) override {
      beginBlock();
      static_cast<Effect*>(this)->run(inputs, outputs, frames);
   }
};

// Decibels to a linear factor.
double knownAnswerGain(double decibels);
