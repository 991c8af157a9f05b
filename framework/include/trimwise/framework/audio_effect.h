// SPDX-License-Identifier: MIT
/// @file
/// The root effect class, the editor interface and the bounded text helpers.
#pragma once

#include <trimwise/framework/plugin_interface.h>

#include <cstddef>
#include <cstdint>

class AudioEffect;

/// Bounded copy: writes exactly maxLen + 1 bytes (the text, zero fill, a NUL at index maxLen).
char* vst_strncpy(char* dst, const char* src, size_t maxLen);
/// Bounded concatenation: the old text followed by src, cut to maxLen characters; writes nothing
/// past index maxLen.
char* vst_strncat(char* dst, const char* src, size_t maxLen);

/// Editor interface. The framework only holds an editor and forwards the host's editor commands;
/// this system ships none. The operations marked reserved keep their places in the table and are
/// never called by the framework.
class AEffEditor {
public:
   AEffEditor() = default;
   AEffEditor(const AEffEditor&) = delete;
   AEffEditor& operator=(const AEffEditor&) = delete;
   virtual ~AEffEditor() = default;

   virtual void reserved1() {}
   /// Stores the address of the editor's rectangle in *rect; true when it did.
   virtual bool getRect(ERect** rect) {
      (void)rect;
      return false;
   }
   /// Opens the editor in the parent window; true when it opened.
   virtual bool open(void* parentWindow) {
      (void)parentWindow;
      return false;
   }
   virtual void close() {}
   virtual void reserved2() {}
   virtual void idle() {}
   virtual bool onKeyDown(VstKeyCode& keyCode) {
      (void)keyCode;
      return false;
   }
   virtual bool onKeyUp(VstKeyCode& keyCode) {
      (void)keyCode;
      return false;
   }
   virtual void reserved3() {}
   virtual bool setKnobMode(int32_t mode) {
      (void)mode;
      return false;
   }
};

/// AudioEffect: the root class of every effect. It owns the AEffect record the host holds, keeps
/// the host callback and the basic configuration, routes the base command set and turns values
/// into the short texts a host shows.
class AudioEffect {
public:
   AudioEffect(audioMasterCallback audioMaster, int32_t numPrograms, int32_t numParams);
   /// The host holds the address of cEffect, so the object must never move or be copied.
   AudioEffect(const AudioEffect&) = delete;
   AudioEffect& operator=(const AudioEffect&) = delete;

   /// Deletes the editor, if one is set.
   virtual ~AudioEffect();

   /// Base command set, opcodes 0..24; everything else answers 0.
   virtual intptr_t dispatcher(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt);

   /// @name State changes the host announces (effOpen, effClose, effMainsChanged)
   /// @{
   virtual void open() {}
   virtual void close() {}
   virtual void suspend() {}
   virtual void resume() {}
   /// @}

   /// @name Configuration
   /// @{
   virtual void setSampleRate(float sampleRate) { this->sampleRate = sampleRate; }
   virtual void setBlockSize(int32_t blockSize) { this->blockSize = blockSize; }
   /// @}

   /// @name Processing, on the host's audio thread: must allocate nothing and take no lock
   /// @{
   virtual void processReplacing(float** inputs, float** outputs, int32_t sampleFrames) = 0;
   virtual void processDoubleReplacing(double** inputs, double** outputs, int32_t sampleFrames);
   /// @}

   /// @name Parameters
   /// @{
   virtual void setParameter(int32_t index, float value);
   virtual float getParameter(int32_t index);
   /// Changes the parameter first, then tells the host (audioMasterAutomate).
   virtual void setParameterAutomated(int32_t index, float value);
   /// @}

   /// @name Programs
   /// @{
   virtual int32_t getProgram() { return curProgram; }
   virtual void setProgram(int32_t program) { curProgram = program; }
   virtual void setProgramName(char* name);
   virtual void getProgramName(char* name);
   /// @}

   /// @name Parameter texts: buffers hold 8 characters plus the NUL (names: see the effect)
   /// @{
   virtual void getParameterLabel(int32_t index, char* label);
   virtual void getParameterDisplay(int32_t index, char* text);
   virtual void getParameterName(int32_t index, char* text);
   /// @}

   /// @name Chunks (not used: the state is reachable through parameters)
   /// @{
   virtual int32_t getChunk(void** data, bool isPreset);
   virtual int32_t setChunk(void* data, int32_t byteSize, bool isPreset);
   /// @}

   /// @name Record setters, called from the effect's constructor
   /// @{
   virtual void setUniqueID(int32_t iD) { cEffect.uniqueID = iD; }
   virtual void setNumInputs(int32_t inputs) { cEffect.numInputs = inputs; }
   virtual void setNumOutputs(int32_t outputs) { cEffect.numOutputs = outputs; }
   virtual void canProcessReplacing(bool state) { setFlag(effFlagsCanReplacing, state); }
   virtual void canDoubleReplacing(bool state) { setFlag(effFlagsCanDoubleReplacing, state); }
   virtual void programsAreChunks(bool state) { setFlag(effFlagsProgramChunks, state); }
   virtual void setInitialDelay(int32_t delay) { cEffect.initialDelay = delay; }
   /// @}

   /// @name Accessors
   /// @{
   virtual AEffEditor* getEditor() { return editor; }
   virtual AEffect* getAeffect() { return &cEffect; }
   virtual float getSampleRate() { return sampleRate; }
   virtual int32_t getBlockSize() { return blockSize; }
   /// @}

   /// @name Base host requests; each has a fixed answer without a host callback
   /// @{
   virtual int32_t getMasterVersion();
   virtual int32_t getCurrentUniqueId();
   virtual void masterIdle();
   /// @}

   /// @name Value texts, written with the bounded copy under maxLen
   /// @{
   virtual void dB2string(float value, char* text, int32_t maxLen);
   virtual void Hz2string(float samples, char* text, int32_t maxLen);
   virtual void ms2string(float samples, char* text, int32_t maxLen);
   virtual void float2string(float value, char* text, int32_t maxLen);
   virtual void int2string(int32_t value, char* text, int32_t maxLen);
   /// @}

   /// @name Deprecated operations, kept in their places
   /// @{
   virtual void process(float** inputs, float** outputs, int32_t sampleFrames);
   virtual float getVu() { return 0.0f; }
   virtual void hasVu(bool state) { setFlag(effFlagsHasVu, state); }
   virtual void hasClip(bool state) { setFlag(effFlagsHasClip, state); }
   virtual void canMono(bool state) { setFlag(effFlagsCanMono, state); }
   virtual void setRealtimeQualities(int32_t qualities) { cEffect.realQualities = qualities; }
   virtual void setOfflineQualities(int32_t qualities) { cEffect.offQualities = qualities; }
   virtual bool isInputConnected(int32_t input);
   virtual bool isOutputConnected(int32_t output);
   /// @}

   /// Stores the editor and sets or clears effFlagsHasEditor; the previous editor is not deleted.
   void setEditor(AEffEditor* newEditor);

   /// Trampolines stored in the record: find the object through AEffect::object, make one call.
   static intptr_t dispatchEffectClass(AEffect* e, int32_t opcode, int32_t index, intptr_t value,
                                       void* ptr, float opt);
   static float getParameterClass(AEffect* e, int32_t index);
   static void setParameterClass(AEffect* e, int32_t index, float value);
   static void processClass(AEffect* e, float** inputs, float** outputs, int32_t sampleFrames);
   static void processClassReplacing(AEffect* e, float** inputs, float** outputs,
                                     int32_t sampleFrames);
   static void processClassDoubleReplacing(AEffect* e, double** inputs, double** outputs,
                                           int32_t sampleFrames);

protected:
   /// One call of the host callback with the record's address first; 0 without a callback.
   intptr_t callHost(int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr,
                     float opt = 0.0f);

   void setFlag(int32_t bit, bool state) {
      if (state) {
         cEffect.flags |= bit;
      } else {
         cEffect.flags &= ~bit;
      }
   }

   audioMasterCallback audioMaster;
   AEffEditor* editor;
   float sampleRate;
   int32_t blockSize;
   int32_t numPrograms;
   int32_t numParams;
   int32_t curProgram;
   AEffect cEffect;
};

/// Defined by the effect: builds one instance, or returns null when no storage could be had.
AudioEffect* createEffectInstance(audioMasterCallback audioMaster);
