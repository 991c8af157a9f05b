// SPDX-License-Identifier: MIT
/// @file
/// The binary interface between a host and an effect plug-in, version 2.4: the AEffect record,
/// the callback signatures, command and request numbers, flag bits and capability texts.
/// Everything here crosses a C boundary, so the records are plain C layouts whose sizes and
/// offsets are pinned by static_asserts for both 64-bit and 32-bit targets.
#pragma once

#include <cstddef>
#include <cstdint>

struct AEffect;

/// The host's function for requests from the effect. The first argument is the effect's record
/// (null only for the version request that the entry point makes before a record exists).
using audioMasterCallback = intptr_t (*)(AEffect* effect, int32_t opcode, int32_t index,
                                         intptr_t value, void* ptr, float opt);

using AEffectDispatcherProc = intptr_t (*)(AEffect* effect, int32_t opcode, int32_t index,
                                           intptr_t value, void* ptr, float opt);
using AEffectProcessProc = void (*)(AEffect* effect, float** inputs, float** outputs,
                                    int32_t sampleFrames);
using AEffectProcessDoubleProc = void (*)(AEffect* effect, double** inputs, double** outputs,
                                          int32_t sampleFrames);
using AEffectSetParameterProc = void (*)(AEffect* effect, int32_t index, float value);
using AEffectGetParameterProc = float (*)(AEffect* effect, int32_t index);

/// Four-character codes pack the first character into the most significant byte.
constexpr int32_t fourCharCode(char a, char b, char c, char d) {
   return static_cast<int32_t>((static_cast<uint32_t>(static_cast<unsigned char>(a)) << 24) |
                               (static_cast<uint32_t>(static_cast<unsigned char>(b)) << 16) |
                               (static_cast<uint32_t>(static_cast<unsigned char>(c)) << 8) |
                               static_cast<uint32_t>(static_cast<unsigned char>(d)));
}

constexpr int32_t kEffectMagic = fourCharCode('V', 's', 't', 'P'); ///< 0x56737450
constexpr int32_t kVstVersion = 2400;

/// The record a host holds for one effect instance. 192 bytes on a 64-bit target.
struct AEffect {
   int32_t magic;
   AEffectDispatcherProc dispatcher;
   AEffectProcessProc process; ///< deprecated accumulating call
   AEffectSetParameterProc setParameter;
   AEffectGetParameterProc getParameter;
   int32_t numPrograms;
   int32_t numParams;
   int32_t numInputs;
   int32_t numOutputs;
   int32_t flags;
   intptr_t resvd1;
   intptr_t resvd2;
   int32_t initialDelay;
   int32_t realQualities; ///< deprecated
   int32_t offQualities;  ///< deprecated
   float ioRatio;         ///< deprecated
   void* object;
   void* user;
   int32_t uniqueID;
   int32_t version;
   AEffectProcessProc processReplacing;
   AEffectProcessDoubleProc processDoubleReplacing;
   char future[56];
};

#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(sizeof(AEffect) == 192, "AEffect must be 192 bytes on a 64-bit target");
static_assert(offsetof(AEffect, magic) == 0);
static_assert(offsetof(AEffect, dispatcher) == 8);
static_assert(offsetof(AEffect, process) == 16);
static_assert(offsetof(AEffect, setParameter) == 24);
static_assert(offsetof(AEffect, getParameter) == 32);
static_assert(offsetof(AEffect, numPrograms) == 40);
static_assert(offsetof(AEffect, numParams) == 44);
static_assert(offsetof(AEffect, numInputs) == 48);
static_assert(offsetof(AEffect, numOutputs) == 52);
static_assert(offsetof(AEffect, flags) == 56);
static_assert(offsetof(AEffect, resvd1) == 64);
static_assert(offsetof(AEffect, resvd2) == 72);
static_assert(offsetof(AEffect, initialDelay) == 80);
static_assert(offsetof(AEffect, realQualities) == 84);
static_assert(offsetof(AEffect, offQualities) == 88);
static_assert(offsetof(AEffect, ioRatio) == 92);
static_assert(offsetof(AEffect, object) == 96);
static_assert(offsetof(AEffect, user) == 104);
static_assert(offsetof(AEffect, uniqueID) == 112);
static_assert(offsetof(AEffect, version) == 116);
static_assert(offsetof(AEffect, processReplacing) == 120);
static_assert(offsetof(AEffect, processDoubleReplacing) == 128);
static_assert(offsetof(AEffect, future) == 136);
#elif UINTPTR_MAX == 0xFFFFFFFFu
// Same field order with 4-byte pointers and natural alignment: no gaps at all.
static_assert(sizeof(AEffect) == 144, "AEffect must be 144 bytes on a 32-bit target");
static_assert(offsetof(AEffect, magic) == 0);
static_assert(offsetof(AEffect, dispatcher) == 4);
static_assert(offsetof(AEffect, process) == 8);
static_assert(offsetof(AEffect, setParameter) == 12);
static_assert(offsetof(AEffect, getParameter) == 16);
static_assert(offsetof(AEffect, numPrograms) == 20);
static_assert(offsetof(AEffect, numParams) == 24);
static_assert(offsetof(AEffect, numInputs) == 28);
static_assert(offsetof(AEffect, numOutputs) == 32);
static_assert(offsetof(AEffect, flags) == 36);
static_assert(offsetof(AEffect, resvd1) == 40);
static_assert(offsetof(AEffect, resvd2) == 44);
static_assert(offsetof(AEffect, initialDelay) == 48);
static_assert(offsetof(AEffect, realQualities) == 52);
static_assert(offsetof(AEffect, offQualities) == 56);
static_assert(offsetof(AEffect, ioRatio) == 60);
static_assert(offsetof(AEffect, object) == 64);
static_assert(offsetof(AEffect, user) == 68);
static_assert(offsetof(AEffect, uniqueID) == 72);
static_assert(offsetof(AEffect, version) == 76);
static_assert(offsetof(AEffect, processReplacing) == 80);
static_assert(offsetof(AEffect, processDoubleReplacing) == 84);
static_assert(offsetof(AEffect, future) == 88);
#else
#error "unsupported pointer width"
#endif

/// Bits of AEffect::flags.
enum : int32_t {
   effFlagsHasEditor = 1 << 0,
   effFlagsHasClip = 1 << 1, ///< deprecated
   effFlagsHasVu = 1 << 2,   ///< deprecated
   effFlagsCanMono = 1 << 3, ///< deprecated
   effFlagsCanReplacing = 1 << 4,
   effFlagsProgramChunks = 1 << 5,
   effFlagsIsSynth = 1 << 8,
   effFlagsNoSoundInStop = 1 << 9,
   effFlagsExtIsAsync = 1 << 10,   ///< deprecated
   effFlagsExtHasBuffer = 1 << 11, ///< deprecated
   effFlagsCanDoubleReplacing = 1 << 12,
};

/// Commands a host sends through AEffect::dispatcher. 0..24 are the base set, 25..79 the
/// extended set. The numbers without a name are deprecated commands that answer 0.
enum : int32_t {
   effOpen = 0,
   effClose = 1,
   effSetProgram = 2,
   effGetProgram = 3,
   effSetProgramName = 4,
   effGetProgramName = 5,
   effGetParamLabel = 6,
   effGetParamDisplay = 7,
   effGetParamName = 8,
   effGetVu = 9, ///< deprecated
   effSetSampleRate = 10,
   effSetBlockSize = 11,
   effMainsChanged = 12,
   effEditGetRect = 13,
   effEditOpen = 14,
   effEditClose = 15,
   effEditDraw = 16,  ///< deprecated
   effEditMouse = 17, ///< deprecated
   effEditKey = 18,   ///< deprecated
   effEditIdle = 19,
   effEditTop = 20,   ///< deprecated
   effEditSleep = 21, ///< deprecated
   effIdentify = 22,
   effGetChunk = 23,
   effSetChunk = 24,

   effProcessEvents = 25,
   effCanBeAutomated = 26,
   effString2Parameter = 27,
   effGetProgramNameIndexed = 29,
   effGetInputProperties = 33,
   effGetOutputProperties = 34,
   effGetPlugCategory = 35,
   effOfflineNotify = 38,
   effOfflinePrepare = 39,
   effOfflineRun = 40,
   effProcessVarIo = 41,
   effSetSpeakerArrangement = 42,
   effSetBypass = 44,
   effGetEffectName = 45,
   effGetVendorString = 47,
   effGetProductString = 48,
   effGetVendorVersion = 49,
   effVendorSpecific = 50,
   effCanDo = 51,
   effGetTailSize = 52,
   effGetParameterProperties = 56,
   effGetVstVersion = 58,
   effEditKeyDown = 59,
   effEditKeyUp = 60,
   effSetEditKnobMode = 61,
   effGetMidiProgramName = 62,
   effGetCurrentMidiProgram = 63,
   effGetMidiProgramCategory = 64,
   effHasMidiProgramsChanged = 65,
   effGetMidiKeyName = 66,
   effBeginSetProgram = 67,
   effEndSetProgram = 68,
   effGetSpeakerArrangement = 69,
   effShellGetNextPlugin = 70,
   effStartProcess = 71,
   effStopProcess = 72,
   effSetTotalSampleToProcess = 73,
   effSetPanLaw = 74,
   effBeginLoadBank = 75,
   effBeginLoadProgram = 76,
   effSetProcessPrecision = 77,
   effGetNumMidiInputChannels = 78,
   effGetNumMidiOutputChannels = 79,
};

/// Requests an effect sends through the host callback. 5, 9, 36 and 47 are never sent.
enum : int32_t {
   audioMasterAutomate = 0,
   audioMasterVersion = 1,
   audioMasterCurrentId = 2,
   audioMasterIdle = 3,
   audioMasterPinConnected = 4, ///< deprecated

   audioMasterWantMidi = 6,
   audioMasterGetTime = 7,
   audioMasterProcessEvents = 8,
   audioMasterTempoAt = 10,
   audioMasterGetNumAutomatableParameters = 11,
   audioMasterGetParameterQuantization = 12,
   audioMasterIOChanged = 13,
   audioMasterNeedIdle = 14,
   audioMasterSizeWindow = 15,
   audioMasterGetSampleRate = 16,
   audioMasterGetBlockSize = 17,
   audioMasterGetInputLatency = 18,
   audioMasterGetOutputLatency = 19,
   audioMasterGetPreviousPlug = 20,
   audioMasterGetNextPlug = 21,
   audioMasterWillReplaceOrAccumulate = 22,
   audioMasterGetCurrentProcessLevel = 23,
   audioMasterGetAutomationState = 24,
   audioMasterOfflineStart = 25,
   audioMasterOfflineRead = 26,
   audioMasterOfflineWrite = 27,
   audioMasterOfflineGetCurrentPass = 28,
   audioMasterOfflineGetCurrentMetaPass = 29,
   audioMasterSetOutputSampleRate = 30,
   audioMasterGetOutputSpeakerArrangement = 31,
   audioMasterGetVendorString = 32,
   audioMasterGetProductString = 33,
   audioMasterGetVendorVersion = 34,
   audioMasterVendorSpecific = 35,
   audioMasterCanDo = 37,
   audioMasterGetLanguage = 38,
   audioMasterOpenWindow = 39,
   audioMasterCloseWindow = 40,
   audioMasterGetDirectory = 41,
   audioMasterUpdateDisplay = 42,
   audioMasterBeginEdit = 43,
   audioMasterEndEdit = 44,
   audioMasterOpenFileSelector = 45,
   audioMasterCloseFileSelector = 46,
   audioMasterGetChunkFile = 48,
   audioMasterGetInputSpeakerArrangement = 49,
};

/// Plug-in categories this framework reports.
enum VstPlugCategory : int32_t {
   kPlugCategUnknown = 0,
   kPlugCategSynth = 2,
};

/// Offline processing option code, passed on to the host unchanged.
using VstOfflineOption = int32_t;

/// Capability texts an effect may ask its host about with canHostDo, in the interface's order.
namespace HostCanDo {
inline constexpr const char* sendVstEvents = "sendVstEvents";
inline constexpr const char* sendVstMidiEvent = "sendVstMidiEvent";
inline constexpr const char* sendVstTimeInfo = "sendVstTimeInfo";
inline constexpr const char* receiveVstEvents = "receiveVstEvents";
inline constexpr const char* receiveVstMidiEvent = "receiveVstMidiEvent";
inline constexpr const char* reportConnectionChanges = "reportConnectionChanges";
inline constexpr const char* acceptIOChanges = "acceptIOChanges";
inline constexpr const char* sizeWindow = "sizeWindow";
inline constexpr const char* offline = "offline";
inline constexpr const char* openFileSelector = "openFileSelector";
inline constexpr const char* closeFileSelector = "closeFileSelector";
inline constexpr const char* startStopProcess = "startStopProcess";
inline constexpr const char* shellCategory = "shellCategory";
inline constexpr const char* sendVstMidiEventFlagIsRealtime = "sendVstMidiEventFlagIsRealtime";
} // namespace HostCanDo

/// Capability texts a host may ask an effect about with effCanDo, in the interface's order.
namespace PlugCanDo {
inline constexpr const char* sendVstEvents = "sendVstEvents";
inline constexpr const char* sendVstMidiEvent = "sendVstMidiEvent";
inline constexpr const char* receiveVstEvents = "receiveVstEvents";
inline constexpr const char* receiveVstMidiEvent = "receiveVstMidiEvent";
inline constexpr const char* receiveVstTimeInfo = "receiveVstTimeInfo";
inline constexpr const char* offline = "offline";
inline constexpr const char* midiProgramNames = "midiProgramNames";
inline constexpr const char* bypass = "bypass";
} // namespace PlugCanDo

/// Key event handed to an editor by effEditKeyDown and effEditKeyUp.
struct VstKeyCode {
   int32_t character;
   uint8_t virt;
   uint8_t modifier;
};
static_assert(sizeof(VstKeyCode) == 8);
static_assert(offsetof(VstKeyCode, character) == 0);
static_assert(offsetof(VstKeyCode, virt) == 4);
static_assert(offsetof(VstKeyCode, modifier) == 5);

/// One speaker of a speaker arrangement.
struct VstSpeakerProperties {
   float azimuth;
   float elevation;
   float radius;
   float reserved;
   char name[64];
   int32_t type;
   char future[28];
};
static_assert(sizeof(VstSpeakerProperties) == 112);
static_assert(offsetof(VstSpeakerProperties, azimuth) == 0);
static_assert(offsetof(VstSpeakerProperties, elevation) == 4);
static_assert(offsetof(VstSpeakerProperties, radius) == 8);
static_assert(offsetof(VstSpeakerProperties, reserved) == 12);
static_assert(offsetof(VstSpeakerProperties, name) == 16);
static_assert(offsetof(VstSpeakerProperties, type) == 80);
static_assert(offsetof(VstSpeakerProperties, future) == 84);

/// A variable-length block: the header is followed by numChannels speaker records. The array is
/// declared with one element; a block for n channels is 8 + 112 * n bytes, so use speakerAt()
/// rather than indexing `speakers` past its declared bound.
struct VstSpeakerArrangement {
   int32_t type;
   int32_t numChannels;
   VstSpeakerProperties speakers[1];
};
static_assert(offsetof(VstSpeakerArrangement, type) == 0);
static_assert(offsetof(VstSpeakerArrangement, numChannels) == 4);
static_assert(offsetof(VstSpeakerArrangement, speakers) == 8);

constexpr size_t kSpeakerArrangementHeaderSize = offsetof(VstSpeakerArrangement, speakers);

inline VstSpeakerProperties* speakerAt(VstSpeakerArrangement* arrangement, int32_t i) {
   return reinterpret_cast<VstSpeakerProperties*>(reinterpret_cast<char*>(arrangement) +
                                                  kSpeakerArrangementHeaderSize +
                                                  sizeof(VstSpeakerProperties) * size_t(i));
}

/// Transport and musical time, as a host answers audioMasterGetTime. Only the fields whose
/// flag is set are valid; samplePos and sampleRate always are. The doubles come first, so the
/// layout is the same whether a target aligns doubles to 4 bytes (32-bit Linux) or to 8.
struct VstTimeInfo {
   double samplePos;
   double sampleRate;
   double nanoSeconds;
   double ppqPos;
   double tempo;
   double barStartPos;
   double cycleStartPos;
   double cycleEndPos;
   int32_t timeSigNumerator;
   int32_t timeSigDenominator;
   int32_t smpteOffset;
   int32_t smpteFrameRate;
   int32_t samplesToNextClock;
   int32_t flags;
};
static_assert(sizeof(VstTimeInfo) == 88);
static_assert(offsetof(VstTimeInfo, samplePos) == 0);
static_assert(offsetof(VstTimeInfo, sampleRate) == 8);
static_assert(offsetof(VstTimeInfo, nanoSeconds) == 16);
static_assert(offsetof(VstTimeInfo, ppqPos) == 24);
static_assert(offsetof(VstTimeInfo, tempo) == 32);
static_assert(offsetof(VstTimeInfo, barStartPos) == 40);
static_assert(offsetof(VstTimeInfo, cycleStartPos) == 48);
static_assert(offsetof(VstTimeInfo, cycleEndPos) == 56);
static_assert(offsetof(VstTimeInfo, timeSigNumerator) == 64);
static_assert(offsetof(VstTimeInfo, timeSigDenominator) == 68);
static_assert(offsetof(VstTimeInfo, smpteOffset) == 72);
static_assert(offsetof(VstTimeInfo, smpteFrameRate) == 76);
static_assert(offsetof(VstTimeInfo, samplesToNextClock) == 80);
static_assert(offsetof(VstTimeInfo, flags) == 84);

/// VstTimeInfo::flags, and the filter of audioMasterGetTime.
enum VstTimeInfoFlags : int32_t {
   kVstTransportChanged = 1,
   kVstTransportPlaying = 1 << 1,
   kVstTransportCycleActive = 1 << 2,
   kVstTransportRecording = 1 << 3,
   kVstAutomationWriting = 1 << 6,
   kVstAutomationReading = 1 << 7,
   kVstNanosValid = 1 << 8,
   kVstPpqPosValid = 1 << 9,
   kVstTempoValid = 1 << 10,
   kVstBarsValid = 1 << 11,
   kVstCyclePosValid = 1 << 12,
   kVstTimeSigValid = 1 << 13,
   kVstSmpteValid = 1 << 14,
   kVstClockValid = 1 << 15,
};

/// Event types.
enum VstEventTypes : int32_t {
   kVstMidiType = 1,
   kVstSysExType = 6,
};

/// The common head of every event: `byteSize` counts the bytes after the first eight.
struct VstEvent {
   int32_t type;
   int32_t byteSize;
   int32_t deltaFrames; ///< frames into the current block
   int32_t flags;
   char data[16];
};
static_assert(sizeof(VstEvent) == 32);

/// VstMidiEvent::flags
enum VstMidiEventFlags : int32_t { kVstMidiEventIsRealtime = 1 };

/// One short MIDI message (up to three bytes) at a frame of the current block.
struct VstMidiEvent {
   int32_t type; ///< kVstMidiType
   int32_t byteSize;
   int32_t deltaFrames;
   int32_t flags;
   int32_t noteLength;
   int32_t noteOffset;
   char midiData[4];
   char detune;
   char noteOffVelocity;
   char reserved1;
   char reserved2;
};
static_assert(sizeof(VstMidiEvent) == 32);
static_assert(offsetof(VstMidiEvent, deltaFrames) == 8);
static_assert(offsetof(VstMidiEvent, noteLength) == 16);
static_assert(offsetof(VstMidiEvent, midiData) == 24);
static_assert(offsetof(VstMidiEvent, detune) == 28);

/// A system-exclusive message; the bytes stay owned by the sender.
struct VstMidiSysexEvent {
   int32_t type; ///< kVstSysExType
   int32_t byteSize;
   int32_t deltaFrames;
   int32_t flags;
   int32_t dumpBytes;
   intptr_t resvd1;
   char* sysexDump;
   intptr_t resvd2;
};
static_assert(offsetof(VstMidiSysexEvent, dumpBytes) == 16);
static_assert(offsetof(VstMidiSysexEvent, resvd1) == (sizeof(void*) == 8 ? 24 : 20));
static_assert(sizeof(VstMidiSysexEvent) == (sizeof(void*) == 8 ? 48 : 32));

/// The events of one block, in frame order. Declared with two pointers; a sender with more
/// allocates the record with room for numEvents pointers.
struct VstEvents {
   int32_t numEvents;
   intptr_t reserved;
   VstEvent* events[2];
};
static_assert(offsetof(VstEvents, reserved) == sizeof(void*));
static_assert(offsetof(VstEvents, events) == 2 * sizeof(void*));
static_assert(sizeof(VstEvents) == 4 * sizeof(void*));

/// Records the framework only passes on by address; their layouts belong to the host side.
struct ERect;
struct VstPinProperties;
struct VstParameterProperties;
struct VstVariableIo;
struct VstAudioFile;
struct VstOfflineTask;
struct VstFileSelect;
struct VstWindow;
struct VstPatchChunkInfo;
struct MidiProgramName;
struct MidiProgramCategory;
struct MidiKeyName;
