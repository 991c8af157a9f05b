// SPDX-License-Identifier: MIT
/// @file
/// The extended effect class: extended commands, host services, events and speaker arrangements.
#pragma once

#include <trimwise/framework/audio_effect.h>

/// AudioEffectX: the extended effect class. Adds the extended command set (opcodes 25..79), the
/// extended requests to the host, speaker arrangements and the default answer of every extended
/// operation, so that an effect overrides only what it supports.
class AudioEffectX : public AudioEffect {
public:
   AudioEffectX(audioMasterCallback audioMaster, int32_t numPrograms, int32_t numParams);
   ~AudioEffectX() override;

   /// Extended command set; every other opcode goes to AudioEffect::dispatcher unchanged.
   intptr_t dispatcher(int32_t opcode, int32_t index, intptr_t value, void* ptr,
                       float opt) override;

   /// Asks the host for events when the effect is a synth or says it receives MIDI events.
   void resume() override;

   /// @name Parameters
   /// @{
   virtual bool canParameterBeAutomated(int32_t /*index*/) { return true; }
   virtual bool string2parameter(int32_t /*index*/, char* /*text*/) { return false; }
   virtual bool getParameterProperties(int32_t /*index*/, VstParameterProperties* /*p*/) {
      return false;
   }
   /// Brackets a user gesture on a parameter for the host's undo and automation.
   virtual bool beginEdit(int32_t index);
   virtual bool endEdit(int32_t index);
   /// @}

   /// @name Programs and banks
   /// @{
   virtual bool getProgramNameIndexed(int32_t /*category*/, int32_t /*index*/, char* /*text*/) {
      return false;
   }
   virtual bool beginSetProgram() { return false; }
   virtual bool endSetProgram() { return false; }
   virtual int32_t beginLoadBank(VstPatchChunkInfo* /*ptr*/) { return 0; }
   virtual int32_t beginLoadProgram(VstPatchChunkInfo* /*ptr*/) { return 0; }
   /// @}

   /// @name Connections, configuration and latency
   /// @{
   virtual bool ioChanged();
   /// Asks the host for its rate; a positive answer is stored in sampleRate.
   virtual double updateSampleRate();
   /// Asks the host for its block size; a positive answer is stored in blockSize.
   virtual int32_t updateBlockSize();
   virtual int32_t getInputLatency();
   virtual int32_t getOutputLatency();
   virtual bool getInputProperties(int32_t /*index*/, VstPinProperties* /*properties*/) {
      return false;
   }
   virtual bool getOutputProperties(int32_t /*index*/, VstPinProperties* /*properties*/) {
      return false;
   }
   virtual bool setSpeakerArrangement(VstSpeakerArrangement* /*pluginInput*/,
                                      VstSpeakerArrangement* /*pluginOutput*/) {
      return false;
   }
   /// Writes null into both of the caller's references and answers false.
   virtual bool getSpeakerArrangement(VstSpeakerArrangement** pluginInput,
                                      VstSpeakerArrangement** pluginOutput) {
      *pluginInput = nullptr;
      *pluginOutput = nullptr;
      return false;
   }
   virtual bool setBypass(bool /*onOff*/) { return false; }
   virtual bool setPanLaw(int32_t /*type*/, float /*val*/) { return false; }
   virtual bool setProcessPrecision(int32_t /*precision*/) { return false; }
   virtual int32_t getNumMidiInputChannels() { return 0; }
   virtual int32_t getNumMidiOutputChannels() { return 0; }
   /// @}

   /// @name Time and processing state
   /// @{
   virtual VstTimeInfo* getTimeInfo(int32_t filter);
   virtual int32_t getCurrentProcessLevel();
   virtual int32_t getAutomationState();
   /// @}

   /// @name Events and processing
   /// @{
   virtual int32_t processEvents(VstEvents* /*events*/) { return 0; }
   virtual int32_t startProcess() { return 0; }
   virtual int32_t stopProcess() { return 0; }
   virtual bool processVariableIo(VstVariableIo* /*varIo*/) { return false; }
   virtual int32_t setTotalSampleToProcess(int32_t value) { return value; }
   /// @}

   /// @name Host identity and capabilities
   /// @{
   virtual bool getHostVendorString(char* text);
   virtual bool getHostProductString(char* text);
   virtual int32_t getHostVendorVersion();
   virtual intptr_t hostVendorSpecific(int32_t lArg, intptr_t lArg2, void* ptrArg, float floatArg);
   /// 1 when the host answers nonzero for the capability text, otherwise 0.
   virtual int32_t canHostDo(char* text);
   virtual int32_t getHostLanguage();
   /// @}

   /// @name Plug-in properties, read by the host from the record's flags
   /// @{
   virtual void isSynth(bool state = true);
   virtual void noTail(bool state = true);
   virtual int32_t getGetTailSize() { return 0; }
   virtual void* getDirectory();
   /// @}

   /// @name Plug-in identity
   /// @{
   virtual bool getEffectName(char* /*name*/) { return false; }
   virtual bool getVendorString(char* /*text*/) { return false; }
   virtual bool getProductString(char* /*text*/) { return false; }
   virtual int32_t getVendorVersion() { return 0; }
   virtual intptr_t vendorSpecific(int32_t /*lArg*/, intptr_t /*lArg2*/, void* /*ptrArg*/,
                                   float /*floatArg*/) {
      return 0;
   }
   virtual int32_t canDo(char* /*text*/) { return 0; }
   virtual int32_t getVstVersion() { return kVstVersion; }
   virtual VstPlugCategory getPlugCategory();
   /// @}

   /// @name MIDI programs
   /// @{
   virtual int32_t getMidiProgramName(int32_t /*channel*/, MidiProgramName* /*midiProgramName*/) {
      return 0;
   }
   virtual int32_t getCurrentMidiProgram(int32_t /*channel*/, MidiProgramName* /*currentProgram*/) {
      return -1;
   }
   virtual int32_t getMidiProgramCategory(int32_t /*channel*/, MidiProgramCategory* /*category*/) {
      return 0;
   }
   virtual bool hasMidiProgramsChanged(int32_t /*channel*/) { return false; }
   virtual bool getMidiKeyName(int32_t /*channel*/, MidiKeyName* /*keyName*/) { return false; }
   /// @}

   /// @name Editor-related host requests
   /// @{
   virtual bool updateDisplay();
   virtual bool sizeWindow(int32_t width, int32_t height);
   virtual bool openFileSelector(VstFileSelect* ptr);
   virtual bool closeFileSelector(VstFileSelect* ptr);
   virtual int32_t getNextShellPlugin(char* /*name*/) { return 0; }
   /// @}

   /// @name Speaker arrangements. Blocks are 8 + 112 * n bytes, zero-filled, owned by the holder.
   /// @{
   /// Releases any block *arrangement holds, then obtains one for nbChannels; on failure (or a
   /// count outside 0..19173961) *arrangement is left null and the answer is false.
   virtual bool allocateArrangement(VstSpeakerArrangement** arrangement, int32_t nbChannels);
   /// Releases the block, if any, and leaves the pointer null; always true.
   virtual bool deallocateArrangement(VstSpeakerArrangement** arrangement);
   /// Copies one speaker record; false (and nothing written) when either address is null.
   virtual bool copySpeaker(VstSpeakerProperties* to, VstSpeakerProperties* from);
   /// Makes *to a new block that is an exact copy of from; false when from is null. A block
   /// matched with itself is left as it is.
   virtual bool matchArrangement(VstSpeakerArrangement** to, VstSpeakerArrangement* from);
   /// @}

   /// @name Offline processing
   /// @{
   virtual bool offlineRead(VstOfflineTask* offline, VstOfflineOption option,
                            bool readSource = true);
   virtual bool offlineWrite(VstOfflineTask* offline, VstOfflineOption option);
   virtual bool offlineStart(VstAudioFile* ptr, int32_t numAudioFiles, int32_t numNewAudioFiles);
   virtual int32_t offlineGetCurrentPass();
   virtual int32_t offlineGetCurrentMetaPass();
   virtual bool offlineNotify(VstAudioFile* /*ptr*/, int32_t /*numAudioFiles*/, bool /*start*/) {
      return false;
   }
   virtual bool offlinePrepare(VstOfflineTask* /*offline*/, int32_t /*count*/) { return false; }
   virtual bool offlineRun(VstOfflineTask* /*offline*/, int32_t /*count*/) { return false; }
   virtual int32_t offlineGetNumPasses() { return 0; }
   virtual int32_t offlineGetNumMetaPasses() { return 0; }
   /// @}

   /// @name Deprecated operations, kept in their places; the host cannot reach them
   /// @{
   virtual void wantEvents(int32_t filter = 1);
   virtual int32_t tempoAt(int32_t pos);
   virtual int32_t getNumAutomatableParameters();
   virtual int32_t getParameterQuantization();
   virtual int32_t getNumCategories() { return 1; }
   virtual bool copyProgram(int32_t /*destination*/) { return false; }
   virtual bool needIdle();
   virtual AEffect* getPreviousPlug(int32_t input);
   virtual AEffect* getNextPlug(int32_t output);
   virtual void inputConnected(int32_t /*index*/, bool /*state*/) {}
   virtual void outputConnected(int32_t /*index*/, bool /*state*/) {}
   virtual int32_t willProcessReplacing();
   virtual void wantAsyncOperation(bool state = true);
   virtual void hasExternalBuffer(bool state = true);
   virtual int32_t reportCurrentPosition() { return 0; }
   virtual float* reportDestinationBuffer() { return nullptr; }
   virtual void setOutputSamplerate(float samplerate);
   virtual VstSpeakerArrangement* getInputSpeakerArrangement();
   virtual VstSpeakerArrangement* getOutputSpeakerArrangement();
   virtual void* openWindow(VstWindow* window);
   virtual bool closeWindow(VstWindow* window);
   virtual void setBlockSizeAndSampleRate(int32_t blockSize, float sampleRate) {
      this->blockSize = blockSize;
      this->sampleRate = sampleRate;
   }
   virtual bool getErrorText(char* /*text*/) { return false; }
   virtual void* getIcon() { return nullptr; }
   virtual bool setViewPosition(int32_t /*x*/, int32_t /*y*/) { return false; }
   virtual int32_t fxIdle() { return 0; }
   virtual bool keysRequired() { return false; }
   virtual bool getChunkFile(void* nativePath);
   /// @}

   /// Sends events to the host; true only when the host answers exactly 1.
   bool sendVstEventsToHost(VstEvents* events);
};
