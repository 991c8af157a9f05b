// SPDX-License-Identifier: MIT
#include <trimwise/framework/audio_effect_x.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>

AudioEffectX::AudioEffectX(audioMasterCallback audioMaster, int32_t numPrograms, int32_t numParams)
    : AudioEffect(audioMaster, numPrograms, numParams) {}

AudioEffectX::~AudioEffectX() = default;

void AudioEffectX::resume() {
   if ((cEffect.flags & effFlagsIsSynth) != 0 ||
       canDo(const_cast<char*>(PlugCanDo::receiveVstMidiEvent)) == 1) {
      wantEvents(1);
   }
}

// --- Extended dispatcher
//
// One row per opcode 25..79. A row turns the command's arguments into one virtual call and its
// answer into the pointer-sized result; an empty row hands the command to the base dispatcher.

namespace {

using Handler = intptr_t (*)(AudioEffectX& fx, AEffEditor* editor, int32_t index, intptr_t value,
                             void* ptr, float opt);

constexpr int32_t kFirstExtended = effProcessEvents;
constexpr int32_t kLastExtended = effGetNumMidiOutputChannels;

int32_t low32(intptr_t value) {
   return static_cast<int32_t>(value);
}

char* textOf(void* ptr) {
   return static_cast<char*>(ptr);
}

// The key record's modifier is the low 8 bits of opt truncated toward zero. Floats of 2^32 and
// more are multiples of 2^9, so their low 8 bits are zero; not-a-number and the infinities have
// no integer value and give 0 as well, so the conversion below is always defined.
uint8_t keyModifier(float opt) {
   if (!(std::fabs(opt) < 4294967296.0f)) return 0;
   return static_cast<uint8_t>(static_cast<int64_t>(opt));
}

VstKeyCode keyRecord(int32_t index, intptr_t value, float opt) {
   VstKeyCode key{};
   key.character = index;
   key.virt = static_cast<uint8_t>(value);
   key.modifier = keyModifier(opt);
   return key;
}

// Commands that read or write through ptr need it: a null buffer is refused with 0.
template <typename Call>
intptr_t withPtr(void* ptr, Call call) {
   return ptr == nullptr ? 0 : call();
}

constexpr std::array<Handler, kLastExtended - kFirstExtended + 1> makeTable() {
   std::array<Handler, kLastExtended - kFirstExtended + 1> t{};
   auto at = [&t](int32_t opcode) -> Handler& { return t[size_t(opcode - kFirstExtended)]; };

   at(effProcessEvents) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t, void* ptr,
                             float) -> intptr_t {
      return fx.processEvents(static_cast<VstEvents*>(ptr));
   };
   at(effCanBeAutomated) = [](AudioEffectX& fx, AEffEditor*, int32_t index, intptr_t, void*,
                              float) -> intptr_t { return fx.canParameterBeAutomated(index); };
   at(effString2Parameter) = [](AudioEffectX& fx, AEffEditor*, int32_t index, intptr_t, void* ptr,
                                float) -> intptr_t {
      return withPtr(ptr, [&] { return fx.string2parameter(index, textOf(ptr)); });
   };
   at(effGetProgramNameIndexed) = [](AudioEffectX& fx, AEffEditor*, int32_t index, intptr_t value,
                                     void* ptr, float) -> intptr_t {
      return withPtr(ptr,
                     [&] { return fx.getProgramNameIndexed(low32(value), index, textOf(ptr)); });
   };
   at(effGetInputProperties) = [](AudioEffectX& fx, AEffEditor*, int32_t index, intptr_t, void* ptr,
                                  float) -> intptr_t {
      return fx.getInputProperties(index, static_cast<VstPinProperties*>(ptr));
   };
   at(effGetOutputProperties) = [](AudioEffectX& fx, AEffEditor*, int32_t index, intptr_t,
                                   void* ptr, float) -> intptr_t {
      return fx.getOutputProperties(index, static_cast<VstPinProperties*>(ptr));
   };
   at(effGetPlugCategory) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t, void*,
                               float) -> intptr_t { return fx.getPlugCategory(); };
   at(effOfflineNotify) = [](AudioEffectX& fx, AEffEditor*, int32_t index, intptr_t value,
                             void* ptr, float) -> intptr_t {
      return fx.offlineNotify(static_cast<VstAudioFile*>(ptr), low32(value), index != 0);
   };
   at(effOfflinePrepare) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t value, void* ptr,
                              float) -> intptr_t {
      return fx.offlinePrepare(static_cast<VstOfflineTask*>(ptr), low32(value));
   };
   at(effOfflineRun) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t value, void* ptr,
                          float) -> intptr_t {
      return fx.offlineRun(static_cast<VstOfflineTask*>(ptr), low32(value));
   };
   at(effProcessVarIo) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t, void* ptr,
                            float) -> intptr_t {
      return fx.processVariableIo(static_cast<VstVariableIo*>(ptr));
   };
   at(effSetSpeakerArrangement) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t value,
                                     void* ptr, float) -> intptr_t {
      return fx.setSpeakerArrangement(reinterpret_cast<VstSpeakerArrangement*>(value),
                                      static_cast<VstSpeakerArrangement*>(ptr));
   };
   at(effSetBypass) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t value, void*,
                         float) -> intptr_t { return fx.setBypass(value != 0); };
   at(effGetEffectName) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t, void* ptr,
                             float) -> intptr_t {
      return withPtr(ptr, [&] { return fx.getEffectName(textOf(ptr)); });
   };
   at(effGetVendorString) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t, void* ptr,
                               float) -> intptr_t {
      return withPtr(ptr, [&] { return fx.getVendorString(textOf(ptr)); });
   };
   at(effGetProductString) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t, void* ptr,
                                float) -> intptr_t {
      return withPtr(ptr, [&] { return fx.getProductString(textOf(ptr)); });
   };
   at(effGetVendorVersion) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t, void*,
                                float) -> intptr_t { return fx.getVendorVersion(); };
   at(effVendorSpecific) = [](AudioEffectX& fx, AEffEditor*, int32_t index, intptr_t value,
                              void* ptr, float opt) -> intptr_t {
      return fx.vendorSpecific(index, value, ptr, opt);
   };
   at(effCanDo) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t, void* ptr,
                     float) -> intptr_t {
      return withPtr(ptr, [&] { return fx.canDo(textOf(ptr)); });
   };
   at(effGetTailSize) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t, void*,
                           float) -> intptr_t { return fx.getGetTailSize(); };
   at(effGetParameterProperties) = [](AudioEffectX& fx, AEffEditor*, int32_t index, intptr_t,
                                      void* ptr, float) -> intptr_t {
      return fx.getParameterProperties(index, static_cast<VstParameterProperties*>(ptr));
   };
   at(effGetVstVersion) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t, void*,
                             float) -> intptr_t { return fx.getVstVersion(); };
   at(effEditKeyDown) = [](AudioEffectX&, AEffEditor* editor, int32_t index, intptr_t value, void*,
                           float opt) -> intptr_t {
      if (editor == nullptr) return 0;
      VstKeyCode key = keyRecord(index, value, opt);
      return editor->onKeyDown(key);
   };
   at(effEditKeyUp) = [](AudioEffectX&, AEffEditor* editor, int32_t index, intptr_t value, void*,
                         float opt) -> intptr_t {
      if (editor == nullptr) return 0;
      VstKeyCode key = keyRecord(index, value, opt);
      return editor->onKeyUp(key);
   };
   at(effSetEditKnobMode) = [](AudioEffectX&, AEffEditor* editor, int32_t, intptr_t value, void*,
                               float) -> intptr_t {
      if (editor == nullptr) return 0;
      return editor->setKnobMode(low32(value));
   };
   at(effGetMidiProgramName) = [](AudioEffectX& fx, AEffEditor*, int32_t index, intptr_t, void* ptr,
                                  float) -> intptr_t {
      return fx.getMidiProgramName(index, static_cast<MidiProgramName*>(ptr));
   };
   at(effGetCurrentMidiProgram) = [](AudioEffectX& fx, AEffEditor*, int32_t index, intptr_t,
                                     void* ptr, float) -> intptr_t {
      return fx.getCurrentMidiProgram(index, static_cast<MidiProgramName*>(ptr));
   };
   at(effGetMidiProgramCategory) = [](AudioEffectX& fx, AEffEditor*, int32_t index, intptr_t,
                                      void* ptr, float) -> intptr_t {
      return fx.getMidiProgramCategory(index, static_cast<MidiProgramCategory*>(ptr));
   };
   at(effHasMidiProgramsChanged) = [](AudioEffectX& fx, AEffEditor*, int32_t index, intptr_t, void*,
                                      float) -> intptr_t {
      return fx.hasMidiProgramsChanged(index);
   };
   at(effGetMidiKeyName) = [](AudioEffectX& fx, AEffEditor*, int32_t index, intptr_t, void* ptr,
                              float) -> intptr_t {
      return fx.getMidiKeyName(index, static_cast<MidiKeyName*>(ptr));
   };
   at(effBeginSetProgram) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t, void*,
                               float) -> intptr_t { return fx.beginSetProgram(); };
   at(effEndSetProgram) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t, void*,
                             float) -> intptr_t { return fx.endSetProgram(); };
   at(effGetSpeakerArrangement) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t value,
                                     void* ptr, float) -> intptr_t {
      // Both references are written through: without both there is nothing to answer.
      if (value == 0 || ptr == nullptr) return 0;
      return fx.getSpeakerArrangement(reinterpret_cast<VstSpeakerArrangement**>(value),
                                      static_cast<VstSpeakerArrangement**>(ptr));
   };
   at(effShellGetNextPlugin) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t, void* ptr,
                                  float) -> intptr_t {
      return withPtr(ptr, [&] { return fx.getNextShellPlugin(textOf(ptr)); });
   };
   at(effStartProcess) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t, void*,
                            float) -> intptr_t { return fx.startProcess(); };
   at(effStopProcess) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t, void*,
                           float) -> intptr_t { return fx.stopProcess(); };
   at(effSetTotalSampleToProcess) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t value,
                                       void*, float) -> intptr_t {
      return fx.setTotalSampleToProcess(low32(value));
   };
   at(effSetPanLaw) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t value, void*,
                         float opt) -> intptr_t { return fx.setPanLaw(low32(value), opt); };
   at(effBeginLoadBank) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t, void* ptr,
                             float) -> intptr_t {
      return fx.beginLoadBank(static_cast<VstPatchChunkInfo*>(ptr));
   };
   at(effBeginLoadProgram) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t, void* ptr,
                                float) -> intptr_t {
      return fx.beginLoadProgram(static_cast<VstPatchChunkInfo*>(ptr));
   };
   at(effSetProcessPrecision) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t value, void*,
                                   float) -> intptr_t {
      return fx.setProcessPrecision(low32(value));
   };
   at(effGetNumMidiInputChannels) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t, void*,
                                       float) -> intptr_t { return fx.getNumMidiInputChannels(); };
   at(effGetNumMidiOutputChannels) = [](AudioEffectX& fx, AEffEditor*, int32_t, intptr_t, void*,
                                        float) -> intptr_t {
      return fx.getNumMidiOutputChannels();
   };
   return t;
}

constexpr auto kExtendedCommands = makeTable();

} // namespace

intptr_t AudioEffectX::dispatcher(int32_t opcode, int32_t index, intptr_t value, void* ptr,
                                  float opt) {
   // Opcodes below 25 wrap to huge unsigned numbers, so one comparison covers both ends.
   const uint32_t row = static_cast<uint32_t>(opcode) - uint32_t(kFirstExtended);
   if (row < kExtendedCommands.size()) {
      if (Handler handler = kExtendedCommands[row]) {
         return handler(*this, editor, index, value, ptr, opt);
      }
   }
   return AudioEffect::dispatcher(opcode, index, value, ptr, opt);
}

// --- Defaults: not supported, or a fixed answer

bool AudioEffectX::canParameterBeAutomated(int32_t) {
   return true;
}
bool AudioEffectX::string2parameter(int32_t, char*) {
   return false;
}
bool AudioEffectX::getParameterProperties(int32_t, VstParameterProperties*) {
   return false;
}
bool AudioEffectX::getProgramNameIndexed(int32_t, int32_t, char*) {
   return false;
}
bool AudioEffectX::beginSetProgram() {
   return false;
}
bool AudioEffectX::endSetProgram() {
   return false;
}
int32_t AudioEffectX::beginLoadBank(VstPatchChunkInfo*) {
   return 0;
}
int32_t AudioEffectX::beginLoadProgram(VstPatchChunkInfo*) {
   return 0;
}
bool AudioEffectX::getInputProperties(int32_t, VstPinProperties*) {
   return false;
}
bool AudioEffectX::getOutputProperties(int32_t, VstPinProperties*) {
   return false;
}
bool AudioEffectX::setSpeakerArrangement(VstSpeakerArrangement*, VstSpeakerArrangement*) {
   return false;
}
bool AudioEffectX::getSpeakerArrangement(VstSpeakerArrangement** pluginInput,
                                         VstSpeakerArrangement** pluginOutput) {
   *pluginInput = nullptr;
   *pluginOutput = nullptr;
   return false;
}
bool AudioEffectX::setBypass(bool) {
   return false;
}
bool AudioEffectX::setPanLaw(int32_t, float) {
   return false;
}
bool AudioEffectX::setProcessPrecision(int32_t) {
   return false;
}
int32_t AudioEffectX::getNumMidiInputChannels() {
   return 0;
}
int32_t AudioEffectX::getNumMidiOutputChannels() {
   return 0;
}
int32_t AudioEffectX::processEvents(VstEvents*) {
   return 0;
}
int32_t AudioEffectX::startProcess() {
   return 0;
}
int32_t AudioEffectX::stopProcess() {
   return 0;
}
bool AudioEffectX::processVariableIo(VstVariableIo*) {
   return false;
}
int32_t AudioEffectX::setTotalSampleToProcess(int32_t value) {
   return value;
}
int32_t AudioEffectX::getGetTailSize() {
   return 0;
}
bool AudioEffectX::getEffectName(char*) {
   return false;
}
bool AudioEffectX::getVendorString(char*) {
   return false;
}
bool AudioEffectX::getProductString(char*) {
   return false;
}
int32_t AudioEffectX::getVendorVersion() {
   return 0;
}
intptr_t AudioEffectX::vendorSpecific(int32_t, intptr_t, void*, float) {
   return 0;
}
int32_t AudioEffectX::canDo(char*) {
   return 0;
}
int32_t AudioEffectX::getVstVersion() {
   return kVstVersion;
}
int32_t AudioEffectX::getMidiProgramName(int32_t, MidiProgramName*) {
   return 0;
}
int32_t AudioEffectX::getCurrentMidiProgram(int32_t, MidiProgramName*) {
   return -1;
}
int32_t AudioEffectX::getMidiProgramCategory(int32_t, MidiProgramCategory*) {
   return 0;
}
bool AudioEffectX::hasMidiProgramsChanged(int32_t) {
   return false;
}
bool AudioEffectX::getMidiKeyName(int32_t, MidiKeyName*) {
   return false;
}
int32_t AudioEffectX::getNextShellPlugin(char*) {
   return 0;
}
bool AudioEffectX::offlineNotify(VstAudioFile*, int32_t, bool) {
   return false;
}
bool AudioEffectX::offlinePrepare(VstOfflineTask*, int32_t) {
   return false;
}
bool AudioEffectX::offlineRun(VstOfflineTask*, int32_t) {
   return false;
}
int32_t AudioEffectX::offlineGetNumPasses() {
   return 0;
}
int32_t AudioEffectX::offlineGetNumMetaPasses() {
   return 0;
}
int32_t AudioEffectX::getNumCategories() {
   return 1;
}
bool AudioEffectX::copyProgram(int32_t) {
   return false;
}
void AudioEffectX::inputConnected(int32_t, bool) {}
void AudioEffectX::outputConnected(int32_t, bool) {}
int32_t AudioEffectX::reportCurrentPosition() {
   return 0;
}
float* AudioEffectX::reportDestinationBuffer() {
   return nullptr;
}
void AudioEffectX::setBlockSizeAndSampleRate(int32_t blockSize, float sampleRate) {
   this->blockSize = blockSize;
   this->sampleRate = sampleRate;
}
bool AudioEffectX::getErrorText(char*) {
   return false;
}
void* AudioEffectX::getIcon() {
   return nullptr;
}
bool AudioEffectX::setViewPosition(int32_t, int32_t) {
   return false;
}
int32_t AudioEffectX::fxIdle() {
   return 0;
}
bool AudioEffectX::keysRequired() {
   return false;
}

// --- Host requests
//
// Each makes at most one call of the host callback (none without one) and converts the reply:
// flag (nonzero), exactly 1, 0 or 1, low 32 bits, whole, or an address.

namespace {
bool flag(intptr_t reply) {
   return reply != 0;
}
int32_t zeroOrOne(intptr_t reply) {
   return reply != 0 ? 1 : 0;
}
template <typename T>
T* address(intptr_t reply) {
   return reinterpret_cast<T*>(reply);
}
} // namespace

bool AudioEffectX::beginEdit(int32_t index) {
   return flag(callHost(audioMasterBeginEdit, index));
}
bool AudioEffectX::endEdit(int32_t index) {
   return flag(callHost(audioMasterEndEdit, index));
}
bool AudioEffectX::ioChanged() {
   return flag(callHost(audioMasterIOChanged));
}

double AudioEffectX::updateSampleRate() {
   if (audioMaster != nullptr) {
      const intptr_t reply = callHost(audioMasterGetSampleRate);
      if (reply > 0) sampleRate = static_cast<float>(reply);
   }
   return sampleRate;
}

int32_t AudioEffectX::updateBlockSize() {
   if (audioMaster != nullptr) {
      const int32_t reply = low32(callHost(audioMasterGetBlockSize));
      if (reply > 0) blockSize = reply;
   }
   return blockSize;
}

int32_t AudioEffectX::getInputLatency() {
   return low32(callHost(audioMasterGetInputLatency));
}
int32_t AudioEffectX::getOutputLatency() {
   return low32(callHost(audioMasterGetOutputLatency));
}
VstTimeInfo* AudioEffectX::getTimeInfo(int32_t filter) {
   return address<VstTimeInfo>(callHost(audioMasterGetTime, 0, filter));
}
int32_t AudioEffectX::getCurrentProcessLevel() {
   return low32(callHost(audioMasterGetCurrentProcessLevel));
}
int32_t AudioEffectX::getAutomationState() {
   return low32(callHost(audioMasterGetAutomationState));
}
bool AudioEffectX::sendVstEventsToHost(VstEvents* events) {
   return callHost(audioMasterProcessEvents, 0, 0, events) == 1;
}
bool AudioEffectX::getHostVendorString(char* text) {
   return flag(callHost(audioMasterGetVendorString, 0, 0, text));
}
bool AudioEffectX::getHostProductString(char* text) {
   return flag(callHost(audioMasterGetProductString, 0, 0, text));
}
int32_t AudioEffectX::getHostVendorVersion() {
   return low32(callHost(audioMasterGetVendorVersion));
}
intptr_t AudioEffectX::hostVendorSpecific(int32_t lArg, intptr_t lArg2, void* ptrArg,
                                          float floatArg) {
   return callHost(audioMasterVendorSpecific, lArg, lArg2, ptrArg, floatArg);
}
int32_t AudioEffectX::canHostDo(char* text) {
   return zeroOrOne(callHost(audioMasterCanDo, 0, 0, text));
}
int32_t AudioEffectX::getHostLanguage() {
   return low32(callHost(audioMasterGetLanguage));
}
void* AudioEffectX::getDirectory() {
   return address<void>(callHost(audioMasterGetDirectory));
}
bool AudioEffectX::updateDisplay() {
   return flag(callHost(audioMasterUpdateDisplay));
}
bool AudioEffectX::sizeWindow(int32_t width, int32_t height) {
   return flag(callHost(audioMasterSizeWindow, width, height));
}
bool AudioEffectX::openFileSelector(VstFileSelect* ptr) {
   if (ptr == nullptr) return false;
   return flag(callHost(audioMasterOpenFileSelector, 0, 0, ptr));
}
bool AudioEffectX::closeFileSelector(VstFileSelect* ptr) {
   if (ptr == nullptr) return false;
   return flag(callHost(audioMasterCloseFileSelector, 0, 0, ptr));
}
bool AudioEffectX::offlineRead(VstOfflineTask* offline, VstOfflineOption option, bool readSource) {
   return flag(callHost(audioMasterOfflineRead, readSource ? 1 : 0, option, offline));
}
bool AudioEffectX::offlineWrite(VstOfflineTask* offline, VstOfflineOption option) {
   return flag(callHost(audioMasterOfflineWrite, 0, option, offline));
}
bool AudioEffectX::offlineStart(VstAudioFile* ptr, int32_t numAudioFiles,
                                int32_t numNewAudioFiles) {
   return flag(callHost(audioMasterOfflineStart, numNewAudioFiles, numAudioFiles, ptr));
}
int32_t AudioEffectX::offlineGetCurrentPass() {
   return zeroOrOne(callHost(audioMasterOfflineGetCurrentPass));
}
int32_t AudioEffectX::offlineGetCurrentMetaPass() {
   return zeroOrOne(callHost(audioMasterOfflineGetCurrentMetaPass));
}
void AudioEffectX::wantEvents(int32_t filter) {
   callHost(audioMasterWantMidi, 0, filter);
}
int32_t AudioEffectX::tempoAt(int32_t pos) {
   return low32(callHost(audioMasterTempoAt, 0, pos));
}
int32_t AudioEffectX::getNumAutomatableParameters() {
   return low32(callHost(audioMasterGetNumAutomatableParameters));
}
int32_t AudioEffectX::getParameterQuantization() {
   return low32(callHost(audioMasterGetParameterQuantization));
}
bool AudioEffectX::needIdle() {
   return flag(callHost(audioMasterNeedIdle));
}
// The pin is not part of the request.
AEffect* AudioEffectX::getPreviousPlug(int32_t) {
   return address<AEffect>(callHost(audioMasterGetPreviousPlug));
}
AEffect* AudioEffectX::getNextPlug(int32_t) {
   return address<AEffect>(callHost(audioMasterGetNextPlug));
}
int32_t AudioEffectX::willProcessReplacing() {
   return low32(callHost(audioMasterWillReplaceOrAccumulate));
}
void AudioEffectX::setOutputSamplerate(float samplerate) {
   callHost(audioMasterSetOutputSampleRate, 0, 0, nullptr, samplerate);
}
VstSpeakerArrangement* AudioEffectX::getInputSpeakerArrangement() {
   return address<VstSpeakerArrangement>(callHost(audioMasterGetInputSpeakerArrangement));
}
VstSpeakerArrangement* AudioEffectX::getOutputSpeakerArrangement() {
   return address<VstSpeakerArrangement>(callHost(audioMasterGetOutputSpeakerArrangement));
}
void* AudioEffectX::openWindow(VstWindow* window) {
   return address<void>(callHost(audioMasterOpenWindow, 0, 0, window));
}
bool AudioEffectX::closeWindow(VstWindow* window) {
   return flag(callHost(audioMasterCloseWindow, 0, 0, window));
}
bool AudioEffectX::getChunkFile(void* nativePath) {
   if (nativePath == nullptr) return false;
   return flag(callHost(audioMasterGetChunkFile, 0, 0, nativePath));
}

// --- Properties announced through the record's flags

void AudioEffectX::isSynth(bool state) {
   setFlag(effFlagsIsSynth, state);
}
void AudioEffectX::noTail(bool state) {
   setFlag(effFlagsNoSoundInStop, state);
}
void AudioEffectX::wantAsyncOperation(bool state) {
   setFlag(effFlagsExtIsAsync, state);
}
void AudioEffectX::hasExternalBuffer(bool state) {
   setFlag(effFlagsExtHasBuffer, state);
}
VstPlugCategory AudioEffectX::getPlugCategory() {
   return (cEffect.flags & effFlagsIsSynth) != 0 ? kPlugCategSynth : kPlugCategUnknown;
}

// --- Speaker arrangements

namespace {
// The largest count whose block size 8 + 112 * n still fits a 32-bit signed integer.
constexpr int32_t kMaxArrangementChannels =
    int32_t((INT32_MAX - kSpeakerArrangementHeaderSize) / sizeof(VstSpeakerProperties));
static_assert(kMaxArrangementChannels == 19173961);
} // namespace

bool AudioEffectX::allocateArrangement(VstSpeakerArrangement** arrangement, int32_t nbChannels) {
   if (arrangement == nullptr) return false;
   if (*arrangement != nullptr) {
      std::free(*arrangement);
      *arrangement = nullptr;
   }
   if (nbChannels < 0 || nbChannels > kMaxArrangementChannels) return false;
   const size_t size =
       kSpeakerArrangementHeaderSize + sizeof(VstSpeakerProperties) * size_t(nbChannels);
   auto* block = static_cast<VstSpeakerArrangement*>(std::calloc(1, size));
   if (block == nullptr) return false;
   block->numChannels = nbChannels;
   *arrangement = block;
   return true;
}

bool AudioEffectX::deallocateArrangement(VstSpeakerArrangement** arrangement) {
   if (arrangement != nullptr && *arrangement != nullptr) {
      std::free(*arrangement);
      *arrangement = nullptr;
   }
   return true;
}

bool AudioEffectX::copySpeaker(VstSpeakerProperties* to, VstSpeakerProperties* from) {
   if (from == nullptr || to == nullptr) return false;
   vst_strncpy(to->name, from->name, sizeof to->name - 1);
   to->type = from->type;
   to->azimuth = from->azimuth;
   to->elevation = from->elevation;
   to->radius = from->radius;
   to->reserved = from->reserved;
   std::memmove(to->future, from->future, sizeof to->future); // to may be from
   return true;
}

bool AudioEffectX::matchArrangement(VstSpeakerArrangement** to, VstSpeakerArrangement* from) {
   if (from == nullptr || to == nullptr) return false;
   // Matching a block with itself would release the source before reading it; the block is
   // already an exact copy of itself.
   if (*to == from) return true;
   if (!deallocateArrangement(to)) return false;
   if (!allocateArrangement(to, from->numChannels)) return false;
   (*to)->type = from->type;
   for (int32_t i = 0; i < (*to)->numChannels; ++i) {
      if (!copySpeaker(speakerAt(*to, i), speakerAt(from, i))) return false;
   }
   return true;
}
