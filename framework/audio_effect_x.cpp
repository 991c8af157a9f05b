// SPDX-License-Identifier: MIT
#include <trimwise/framework/audio_effect_x.h>

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

namespace {

int32_t low32(intptr_t value) {
   return static_cast<int32_t>(value);
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

// Extended commands that read or write text through ptr, or write through both ptr and value.
bool needsPointer(int32_t opcode) {
   switch (opcode) {
   case effString2Parameter:
   case effGetProgramNameIndexed:
   case effGetEffectName:
   case effGetVendorString:
   case effGetProductString:
   case effCanDo:
   case effShellGetNextPlugin:
   case effGetSpeakerArrangement:
      return true;
   default:
      return false;
   }
}

// The editor's key operations take the record by reference; it lives in this call's frame.
bool sendKey(AEffEditor* editor, bool down, VstKeyCode key) {
   if (editor == nullptr) return false;
   return down ? editor->onKeyDown(key) : editor->onKeyUp(key);
}

} // namespace

intptr_t AudioEffectX::dispatcher(int32_t opcode, int32_t index, intptr_t value, void* ptr,
                                  float opt) {
   // Commands that read or write through ptr need it: a null one is refused with 0 and nothing
   // is called, rather than crashing the host. The base dispatcher guards its own the same way.
   if (ptr == nullptr && needsPointer(opcode)) return 0;
   char* text = static_cast<char*>(ptr);
   switch (opcode) {
   case effProcessEvents:
      return processEvents(static_cast<VstEvents*>(ptr));
   case effCanBeAutomated:
      return canParameterBeAutomated(index);
   case effString2Parameter:
      return string2parameter(index, text);
   case effGetProgramNameIndexed:
      return getProgramNameIndexed(low32(value), index, text);
   case effGetInputProperties:
      return getInputProperties(index, static_cast<VstPinProperties*>(ptr));
   case effGetOutputProperties:
      return getOutputProperties(index, static_cast<VstPinProperties*>(ptr));
   case effGetPlugCategory:
      return getPlugCategory();
   case effOfflineNotify:
      return offlineNotify(static_cast<VstAudioFile*>(ptr), low32(value), index != 0);
   case effOfflinePrepare:
      return offlinePrepare(static_cast<VstOfflineTask*>(ptr), low32(value));
   case effOfflineRun:
      return offlineRun(static_cast<VstOfflineTask*>(ptr), low32(value));
   case effProcessVarIo:
      return processVariableIo(static_cast<VstVariableIo*>(ptr));
   case effSetSpeakerArrangement:
      return setSpeakerArrangement(reinterpret_cast<VstSpeakerArrangement*>(value),
                                   static_cast<VstSpeakerArrangement*>(ptr));
   case effSetBypass:
      return setBypass(value != 0);
   case effGetEffectName:
      return getEffectName(text);
   case effGetVendorString:
      return getVendorString(text);
   case effGetProductString:
      return getProductString(text);
   case effGetVendorVersion:
      return getVendorVersion();
   case effVendorSpecific:
      return vendorSpecific(index, value, ptr, opt);
   case effCanDo:
      return canDo(text);
   case effGetTailSize:
      return getGetTailSize();
   case effGetParameterProperties:
      return getParameterProperties(index, static_cast<VstParameterProperties*>(ptr));
   case effGetVstVersion:
      return getVstVersion();
   case effEditKeyDown:
      return sendKey(editor, true, keyRecord(index, value, opt));
   case effEditKeyUp:
      return sendKey(editor, false, keyRecord(index, value, opt));
   case effSetEditKnobMode:
      return editor != nullptr && editor->setKnobMode(low32(value));
   case effGetMidiProgramName:
      return getMidiProgramName(index, static_cast<MidiProgramName*>(ptr));
   case effGetCurrentMidiProgram:
      return getCurrentMidiProgram(index, static_cast<MidiProgramName*>(ptr));
   case effGetMidiProgramCategory:
      return getMidiProgramCategory(index, static_cast<MidiProgramCategory*>(ptr));
   case effHasMidiProgramsChanged:
      return hasMidiProgramsChanged(index);
   case effGetMidiKeyName:
      return getMidiKeyName(index, static_cast<MidiKeyName*>(ptr));
   case effBeginSetProgram:
      return beginSetProgram();
   case effEndSetProgram:
      return endSetProgram();
   // Both references are written through: without both there is nothing to answer.
   case effGetSpeakerArrangement:
      return value != 0 && getSpeakerArrangement(reinterpret_cast<VstSpeakerArrangement**>(value),
                                                 static_cast<VstSpeakerArrangement**>(ptr));
   case effShellGetNextPlugin:
      return getNextShellPlugin(text);
   case effStartProcess:
      return startProcess();
   case effStopProcess:
      return stopProcess();
   case effSetTotalSampleToProcess:
      return setTotalSampleToProcess(low32(value));
   case effSetPanLaw:
      return setPanLaw(low32(value), opt);
   case effBeginLoadBank:
      return beginLoadBank(static_cast<VstPatchChunkInfo*>(ptr));
   case effBeginLoadProgram:
      return beginLoadProgram(static_cast<VstPatchChunkInfo*>(ptr));
   case effSetProcessPrecision:
      return setProcessPrecision(low32(value));
   case effGetNumMidiInputChannels:
      return getNumMidiInputChannels();
   case effGetNumMidiOutputChannels:
      return getNumMidiOutputChannels();
   // The base commands, the deprecated extended ones and unknown opcodes, all five unchanged.
   default:
      return AudioEffect::dispatcher(opcode, index, value, ptr, opt);
   }
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
