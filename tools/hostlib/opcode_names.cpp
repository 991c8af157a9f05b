// SPDX-License-Identifier: MIT
#include "tools/hostlib/opcode_names.h"

#include "framework/plugin_interface.h"
#include "tools/hostlib/name_table.h"

namespace plughost {
namespace {

constexpr NamedNumber kEffectOpcodes[] = {
    {effOpen, "effOpen"},
    {effClose, "effClose"},
    {effSetProgram, "effSetProgram"},
    {effGetProgram, "effGetProgram"},
    {effSetProgramName, "effSetProgramName"},
    {effGetProgramName, "effGetProgramName"},
    {effGetParamLabel, "effGetParamLabel"},
    {effGetParamDisplay, "effGetParamDisplay"},
    {effGetParamName, "effGetParamName"},
    {effGetVu, "effGetVu"},
    {effSetSampleRate, "effSetSampleRate"},
    {effSetBlockSize, "effSetBlockSize"},
    {effMainsChanged, "effMainsChanged"},
    {effEditGetRect, "effEditGetRect"},
    {effEditOpen, "effEditOpen"},
    {effEditClose, "effEditClose"},
    {effEditDraw, "effEditDraw"},
    {effEditMouse, "effEditMouse"},
    {effEditKey, "effEditKey"},
    {effEditIdle, "effEditIdle"},
    {effEditTop, "effEditTop"},
    {effEditSleep, "effEditSleep"},
    {effIdentify, "effIdentify"},
    {effGetChunk, "effGetChunk"},
    {effSetChunk, "effSetChunk"},
    {effProcessEvents, "effProcessEvents"},
    {effCanBeAutomated, "effCanBeAutomated"},
    {effString2Parameter, "effString2Parameter"},
    {effGetProgramNameIndexed, "effGetProgramNameIndexed"},
    {effGetInputProperties, "effGetInputProperties"},
    {effGetOutputProperties, "effGetOutputProperties"},
    {effGetPlugCategory, "effGetPlugCategory"},
    {effOfflineNotify, "effOfflineNotify"},
    {effOfflinePrepare, "effOfflinePrepare"},
    {effOfflineRun, "effOfflineRun"},
    {effProcessVarIo, "effProcessVarIo"},
    {effSetSpeakerArrangement, "effSetSpeakerArrangement"},
    {effSetBypass, "effSetBypass"},
    {effGetEffectName, "effGetEffectName"},
    {effGetVendorString, "effGetVendorString"},
    {effGetProductString, "effGetProductString"},
    {effGetVendorVersion, "effGetVendorVersion"},
    {effVendorSpecific, "effVendorSpecific"},
    {effCanDo, "effCanDo"},
    {effGetTailSize, "effGetTailSize"},
    {effGetParameterProperties, "effGetParameterProperties"},
    {effGetVstVersion, "effGetVstVersion"},
    {effEditKeyDown, "effEditKeyDown"},
    {effEditKeyUp, "effEditKeyUp"},
    {effSetEditKnobMode, "effSetEditKnobMode"},
    {effGetMidiProgramName, "effGetMidiProgramName"},
    {effGetCurrentMidiProgram, "effGetCurrentMidiProgram"},
    {effGetMidiProgramCategory, "effGetMidiProgramCategory"},
    {effHasMidiProgramsChanged, "effHasMidiProgramsChanged"},
    {effGetMidiKeyName, "effGetMidiKeyName"},
    {effBeginSetProgram, "effBeginSetProgram"},
    {effEndSetProgram, "effEndSetProgram"},
    {effGetSpeakerArrangement, "effGetSpeakerArrangement"},
    {effShellGetNextPlugin, "effShellGetNextPlugin"},
    {effStartProcess, "effStartProcess"},
    {effStopProcess, "effStopProcess"},
    {effSetTotalSampleToProcess, "effSetTotalSampleToProcess"},
    {effSetPanLaw, "effSetPanLaw"},
    {effBeginLoadBank, "effBeginLoadBank"},
    {effBeginLoadProgram, "effBeginLoadProgram"},
    {effSetProcessPrecision, "effSetProcessPrecision"},
    {effGetNumMidiInputChannels, "effGetNumMidiInputChannels"},
    {effGetNumMidiOutputChannels, "effGetNumMidiOutputChannels"},
};

constexpr NamedNumber kHostOpcodes[] = {
    {audioMasterAutomate, "audioMasterAutomate"},
    {audioMasterVersion, "audioMasterVersion"},
    {audioMasterCurrentId, "audioMasterCurrentId"},
    {audioMasterIdle, "audioMasterIdle"},
    {audioMasterPinConnected, "audioMasterPinConnected"},
    {audioMasterWantMidi, "audioMasterWantMidi"},
    {audioMasterGetTime, "audioMasterGetTime"},
    {audioMasterProcessEvents, "audioMasterProcessEvents"},
    {audioMasterTempoAt, "audioMasterTempoAt"},
    {audioMasterGetNumAutomatableParameters, "audioMasterGetNumAutomatableParameters"},
    {audioMasterGetParameterQuantization, "audioMasterGetParameterQuantization"},
    {audioMasterIOChanged, "audioMasterIOChanged"},
    {audioMasterNeedIdle, "audioMasterNeedIdle"},
    {audioMasterSizeWindow, "audioMasterSizeWindow"},
    {audioMasterGetSampleRate, "audioMasterGetSampleRate"},
    {audioMasterGetBlockSize, "audioMasterGetBlockSize"},
    {audioMasterGetInputLatency, "audioMasterGetInputLatency"},
    {audioMasterGetOutputLatency, "audioMasterGetOutputLatency"},
    {audioMasterGetPreviousPlug, "audioMasterGetPreviousPlug"},
    {audioMasterGetNextPlug, "audioMasterGetNextPlug"},
    {audioMasterWillReplaceOrAccumulate, "audioMasterWillReplaceOrAccumulate"},
    {audioMasterGetCurrentProcessLevel, "audioMasterGetCurrentProcessLevel"},
    {audioMasterGetAutomationState, "audioMasterGetAutomationState"},
    {audioMasterOfflineStart, "audioMasterOfflineStart"},
    {audioMasterOfflineRead, "audioMasterOfflineRead"},
    {audioMasterOfflineWrite, "audioMasterOfflineWrite"},
    {audioMasterOfflineGetCurrentPass, "audioMasterOfflineGetCurrentPass"},
    {audioMasterOfflineGetCurrentMetaPass, "audioMasterOfflineGetCurrentMetaPass"},
    {audioMasterSetOutputSampleRate, "audioMasterSetOutputSampleRate"},
    {audioMasterGetOutputSpeakerArrangement, "audioMasterGetOutputSpeakerArrangement"},
    {audioMasterGetVendorString, "audioMasterGetVendorString"},
    {audioMasterGetProductString, "audioMasterGetProductString"},
    {audioMasterGetVendorVersion, "audioMasterGetVendorVersion"},
    {audioMasterVendorSpecific, "audioMasterVendorSpecific"},
    {audioMasterCanDo, "audioMasterCanDo"},
    {audioMasterGetLanguage, "audioMasterGetLanguage"},
    {audioMasterOpenWindow, "audioMasterOpenWindow"},
    {audioMasterCloseWindow, "audioMasterCloseWindow"},
    {audioMasterGetDirectory, "audioMasterGetDirectory"},
    {audioMasterUpdateDisplay, "audioMasterUpdateDisplay"},
    {audioMasterBeginEdit, "audioMasterBeginEdit"},
    {audioMasterEndEdit, "audioMasterEndEdit"},
    {audioMasterOpenFileSelector, "audioMasterOpenFileSelector"},
    {audioMasterCloseFileSelector, "audioMasterCloseFileSelector"},
    {audioMasterGetChunkFile, "audioMasterGetChunkFile"},
    {audioMasterGetInputSpeakerArrangement, "audioMasterGetInputSpeakerArrangement"},
};

} // namespace

std::string effectOpcodeName(int32_t opcode) {
   const char* name = nameIn(kEffectOpcodes, opcode);
   return name ? name : "opcode " + std::to_string(opcode);
}

std::string hostOpcodeName(int32_t opcode) {
   const char* name = nameIn(kHostOpcodes, opcode);
   return name ? name : "request " + std::to_string(opcode);
}

} // namespace plughost
