// SPDX-License-Identifier: MIT
// The command entry as a host sees it: every opcode sent through the record's dispatcher pointer
// reaches the right operation with the right conversions, and answers at the right width.
#include "recording.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <memory>

namespace {

char gText[128];
void* const kBuf = gText;
const intptr_t kBufAddr = addr(gText);

struct Row {
   int32_t opcode;
   int32_t index;
   intptr_t value;
   void* ptr;
   float opt;
   intptr_t answer; // what the expected operation answers
   Call expected;   // no op: nothing may be called
   intptr_t result;
};

// Sends each row to a fresh effect and checks the one call it made and the answer.
template <class Effect>
void runRows(const std::vector<Row>& rows, bool withEditor = false) {
   for (const Row& r : rows) {
      SCOPED_TRACE(::testing::Message() << "opcode " << r.opcode << " index " << r.index
                                        << " value 0x" << std::hex << r.value);
      CallLog log;
      {
         Effect fx(log);
         if (withEditor) fx.setEditor(new RecordingEditor(log));
         if (!r.expected.op.empty()) log.answers[r.expected.op] = r.answer;
         EXPECT_EQ(dispatch(fx, r.opcode, r.index, r.value, r.ptr, r.opt), r.result);
         const std::vector<Call> expected =
             r.expected.op.empty() ? std::vector<Call>{} : std::vector<Call>{r.expected};
         EXPECT_EQ(log.calls, expected);
         log.calls.clear();
      }
   }
}

const std::vector<Row> kBaseRows = {
    {effOpen, 0, 0, nullptr, 0, 0, {"open"}, 0},
    // numPrograms is 1: the whole value is compared, with no lower bound.
    {effSetProgram, 0, 0, nullptr, 0, 0, {"setProgram", {0}}, 0},
    {effSetProgram, 0, 1, nullptr, 0, 0, {}, 0},
    {effSetProgram, 0, -1, nullptr, 0, 0, {"setProgram", {-1}}, 0},
    WIDE_ONLY({effSetProgram, 0, kHigh32, nullptr, 0, 0, {}, 0}){
        effSetProgram, 0, -kHigh32, nullptr, 0, 0, {"setProgram", {0}}, 0},
    {effGetProgram, 0, 0, nullptr, 0, -1, {"getProgram"}, -1},
    {effGetProgram, 0, 0, nullptr, 0, INT32_MIN, {"getProgram"}, INT32_MIN},
    {effSetProgramName, 0, 0, kBuf, 0, 0, {"setProgramName", {kBufAddr}}, 0},
    {effGetProgramName, 0, 0, kBuf, 0, 0, {"getProgramName", {kBufAddr}}, 0},
    {effGetParamLabel, 5, 0, kBuf, 0, 0, {"getParameterLabel", {5, kBufAddr}}, 0},
    {effGetParamDisplay, -1, 0, kBuf, 0, 0, {"getParameterDisplay", {-1, kBufAddr}}, 0},
    {effGetParamName, 1, 0, kBuf, 0, 0, {"getParameterName", {1, kBufAddr}}, 0},
    {effGetVu, 0, 0, nullptr, 0, 0, {}, 0},
    {effSetSampleRate, 0, 0, nullptr, 48000.0f, 0, {"setSampleRate", {}, 48000.0f}, 0},
    {effSetBlockSize, 0, kHigh32 + 512, nullptr, 0, 0, {"setBlockSize", {512}}, 0},
    WIDE_ONLY({effSetBlockSize, 0, 0xFFFFFFFF, nullptr, 0, 0, {"setBlockSize", {-1}}, 0}){
        effMainsChanged, 0, 0, nullptr, 0, 0, {"suspend"}, 0},
    {effMainsChanged, 0, 1, nullptr, 0, 0, {"resume"}, 0},
    {effMainsChanged, 0, 2, nullptr, 0, 0, {"resume"}, 0},
    {effMainsChanged, 0, -1, nullptr, 0, 0, {"resume"}, 0},
    WIDE_ONLY({effMainsChanged, 0, kHigh32, nullptr, 0, 0, {"resume"}, 0}){
        effIdentify, 3, 7, kBuf, 1.0f, 0, {}, 0x4E764566},
    {effGetChunk, 0, 0, kBuf, 0, -1, {"getChunk", {kBufAddr, 0}}, -1},
    {effGetChunk, -7, 0, kBuf, 0, 42, {"getChunk", {kBufAddr, 1}}, 42},
    {effSetChunk, 2, kHigh32 + 16, kBuf, 0, -2, {"setChunk", {kBufAddr, 16, 1}}, -2},
    {effSetChunk, 0, -1, kBuf, 0, 3, {"setChunk", {kBufAddr, -1, 0}}, 3},
    // Editor commands without an editor.
    {effEditGetRect, 0, 0, kBuf, 0, 0, {}, 0},
    {effEditOpen, 0, 0, kBuf, 0, 0, {}, 0},
    {effEditClose, 0, 0, nullptr, 0, 0, {}, 0},
    {effEditIdle, 0, 0, nullptr, 0, 0, {}, 0},
    // Commands that read or write through ptr refuse a null one.
    {effSetProgramName, 0, 0, nullptr, 0, 0, {}, 0},
    {effGetProgramName, 0, 0, nullptr, 0, 0, {}, 0},
    {effGetParamLabel, 0, 0, nullptr, 0, 0, {}, 0},
    {effGetParamDisplay, 0, 0, nullptr, 0, 0, {}, 0},
    {effGetParamName, 0, 0, nullptr, 0, 0, {}, 0},
    {effGetChunk, 0, 0, nullptr, 0, 0, {}, 0},
    {effSetChunk, 0, 8, nullptr, 0, 0, {}, 0},
    // Opcodes no dispatcher knows.
    {80, 0, 0, nullptr, 0, 0, {}, 0},
    {1000, 0, 0, nullptr, 0, 0, {}, 0},
    {-1, 0, 0, nullptr, 0, 0, {}, 0},
    {INT32_MIN, 0, 0, nullptr, 0, 0, {}, 0},
};

TEST(BaseDispatcher, EachCommandCallsItsOperationWithConvertedArguments) {
   runRows<RecordingEffect>(kBaseRows);
}

TEST(BaseDispatcher, ExtendedEffectHandsBaseCommandsOnUnchanged) {
   runRows<RecordingEffectX>(kBaseRows);
}

TEST(BaseDispatcher, ExtendedOpcodesAnswerZeroOnTheBaseClass) {
   std::vector<Row> rows;
   for (int32_t op = effProcessEvents; op <= effGetNumMidiOutputChannels; ++op) {
      rows.push_back({op, 1, 1, kBuf, 1.0f, 0, {}, 0});
   }
   runRows<RecordingEffect>(rows);
}

TEST(BaseDispatcher, CloseThroughTheRecordClosesThenDestroysAndAnswersOne) {
   CallLog log;
   auto* fx = new RecordingEffectX(log);
   AEffect* e = fx->getAeffect();
   EXPECT_EQ(e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f), 1);
   EXPECT_EQ(log.calls, (std::vector<Call>{{"close"}, {"destructor"}}));
}

TEST(RecordTrampolines, EachFunctionPointerReachesItsOperation) {
   CallLog log;
   RecordingEffectX fx(log);
   AEffect* e = fx.getAeffect();
   float* in[2] = {};
   float* out[2] = {};
   double* inD[2] = {};
   double* outD[2] = {};
   log.answers["getParameter"] = 3;
   e->process(e, in, out, 3);
   e->processReplacing(e, in, out, -1);
   e->processDoubleReplacing(e, inD, outD, 0);
   e->setParameter(e, 1, 0.25f);
   EXPECT_EQ(e->getParameter(e, -5), 3.0f);
   EXPECT_EQ(log.calls, (std::vector<Call>{{"process", {addr(in), addr(out), 3}},
                                           {"processReplacing", {addr(in), addr(out), -1}},
                                           {"processDoubleReplacing", {addr(inD), addr(outD), 0}},
                                           {"setParameter", {1}, 0.25f},
                                           {"getParameter", {-5}}}));
}

TEST(BaseDispatcher, ProgramSetThroughTheRecordReadsBackAtFullWidth) {
   PlainEffectX fx(nullptr, 1);
   dispatch(fx, effSetProgram, 0, -1);
   EXPECT_EQ(dispatch(fx, effGetProgram), intptr_t(-1));
}

TEST(BaseDispatcher, DefaultTextCommandsWriteOnlyTheTerminator) {
   PlainEffect fx;
   for (int32_t op : {effGetProgramName, effGetParamLabel, effGetParamDisplay, effGetParamName}) {
      char buf[16];
      std::memset(buf, 'x', sizeof buf);
      EXPECT_EQ(dispatch(fx, op, 0, 0, buf), 0);
      EXPECT_EQ(buf[0], '\0') << op;
      EXPECT_EQ(std::string(buf + 1, sizeof buf - 1), std::string(sizeof buf - 1, 'x')) << op;
   }
   void* data = kBuf;
   EXPECT_EQ(dispatch(fx, effGetChunk, 1, 0, &data), 0);
   EXPECT_EQ(data, kBuf);
}

const std::vector<Row> kEditorRows = {
    {effEditGetRect, 0, 0, kBuf, 0, 1, {"editor.getRect", {kBufAddr}}, 1},
    {effEditGetRect, 0, 0, kBuf, 0, 0, {"editor.getRect", {kBufAddr}}, 0},
    {effEditGetRect, 0, 0, nullptr, 0, 1, {}, 0},
    {effEditOpen, 0, 0, kBuf, 0, 1, {"editor.open", {kBufAddr}}, 1},
    {effEditOpen, 0, 0, nullptr, 0, 0, {"editor.open", {0}}, 0},
    {effEditClose, 0, 0, nullptr, 0, 1, {"editor.close"}, 0},
    {effEditIdle, 0, 0, nullptr, 0, 1, {"editor.idle"}, 0},
    {effEditDraw, 0, 0, kBuf, 0, 0, {}, 0},
    {effEditMouse, 0, 0, kBuf, 0, 0, {}, 0},
    {effEditKey, 0, 0, kBuf, 0, 0, {}, 0},
    {effEditTop, 0, 0, kBuf, 0, 0, {}, 0},
    {effEditSleep, 0, 0, kBuf, 0, 0, {}, 0},
    // Key record: character = index, virt = low 8 bits of value, modifier = low 8 bits of opt
    // truncated toward zero; values without an integer (NaN, infinities) and those of 2^32 or
    // more give 0.
    {effEditKeyDown, 65, 0x1203, nullptr, 2.9f, 1, {"editor.onKeyDown", {65, 3, 2}}, 1},
    {effEditKeyUp, 65, 0x1203, nullptr, -1.0f, 1, {"editor.onKeyUp", {65, 3, 0xFF}}, 1},
    {effEditKeyDown, -1, -1, nullptr, 300.7f, 0, {"editor.onKeyDown", {-1, 0xFF, 44}}, 0},
    {effEditKeyDown, 0, 0, nullptr, -300.7f, 1, {"editor.onKeyDown", {0, 0, 0xD4}}, 1},
    {effEditKeyDown, 0, 0, nullptr, 255.99f, 1, {"editor.onKeyDown", {0, 0, 0xFF}}, 1},
    {effEditKeyDown, 0, 0, nullptr, NAN, 1, {"editor.onKeyDown", {0, 0, 0}}, 1},
    {effEditKeyDown, 0, 0, nullptr, INFINITY, 1, {"editor.onKeyDown", {0, 0, 0}}, 1},
    {effEditKeyUp, 0, 0, nullptr, -INFINITY, 1, {"editor.onKeyUp", {0, 0, 0}}, 1},
    {effEditKeyUp, 0, 0, nullptr, 1e30f, 1, {"editor.onKeyUp", {0, 0, 0}}, 1},
    {effEditKeyUp, 0, 0, nullptr, -1e30f, 1, {"editor.onKeyUp", {0, 0, 0}}, 1},
    {effEditKeyUp, 0, 0, nullptr, 4294967040.0f, 1, {"editor.onKeyUp", {0, 0, 0}}, 1},
    {effSetEditKnobMode, 0, kHigh32 + 3, nullptr, 0, 1, {"editor.setKnobMode", {3}}, 1},
    WIDE_ONLY({effSetEditKnobMode, 0, 0xFFFFFFFF, nullptr, 0, 0, {"editor.setKnobMode", {-1}}, 0})};

TEST(EditorCommands, ReachTheEditorWithTheirArguments) {
   runRows<RecordingEffectX>(kEditorRows, true);
}

TEST(EditorCommands, WithoutAnEditorAnswerZero) {
   std::vector<Row> rows;
   for (const Row& r : kEditorRows)
      rows.push_back({r.opcode, r.index, r.value, r.ptr, r.opt, 0, {}, 0});
   runRows<RecordingEffectX>(rows);
}

int gSpeakerIn, gSpeakerOut; // addresses only

const std::vector<Row> kExtendedRows = {
    {effProcessEvents, 0, 0, kBuf, 0, -1, {"processEvents", {kBufAddr}}, -1},
    {effCanBeAutomated, 7, 0, nullptr, 0, 1, {"canParameterBeAutomated", {7}}, 1},
    {effCanBeAutomated, -7, 0, nullptr, 0, 0, {"canParameterBeAutomated", {-7}}, 0},
    {effString2Parameter, 3, 0, kBuf, 0, 1, {"string2parameter", {3, kBufAddr}}, 1},
    // Category from value, program index from index, in that order.
    {effGetProgramNameIndexed,
     5,
     kHigh32 + 2,
     kBuf,
     0,
     1,
     {"getProgramNameIndexed", {2, 5, kBufAddr}},
     1},
    {effGetInputProperties, 1, 0, kBuf, 0, 1, {"getInputProperties", {1, kBufAddr}}, 1},
    {effGetOutputProperties, 2, 0, kBuf, 0, 1, {"getOutputProperties", {2, kBufAddr}}, 1},
    {effGetPlugCategory, 0, 0, nullptr, 0, 2, {"getPlugCategory"}, 2},
    {effOfflineNotify, -3, kHigh32 + 4, kBuf, 0, 1, {"offlineNotify", {kBufAddr, 4, 1}}, 1},
    {effOfflineNotify, 0, 4, kBuf, 0, 0, {"offlineNotify", {kBufAddr, 4, 0}}, 0},
    WIDE_ONLY(
        {effOfflinePrepare, 0, 0xFFFFFFFF, kBuf, 0, 1, {"offlinePrepare", {kBufAddr, -1}}, 1}){
        effOfflineRun, 0, kHigh32 + 9, kBuf, 0, 1, {"offlineRun", {kBufAddr, 9}}, 1},
    {effProcessVarIo, 0, 0, kBuf, 0, 1, {"processVariableIo", {kBufAddr}}, 1},
    {effSetSpeakerArrangement,
     0,
     addr(&gSpeakerIn),
     &gSpeakerOut,
     0,
     1,
     {"setSpeakerArrangement", {addr(&gSpeakerIn), addr(&gSpeakerOut)}},
     1},
    WIDE_ONLY({effSetBypass, 0, kHigh32, nullptr, 0, 1, {"setBypass", {1}}, 1}){
        effSetBypass, 0, 0, nullptr, 0, 0, {"setBypass", {0}}, 0},
    // A true answer is exactly 1, whatever else the operation did.
    {effGetEffectName, 0, 0, kBuf, 0, 7, {"getEffectName", {kBufAddr}}, 1},
    {effGetVendorString, 0, 0, kBuf, 0, 1, {"getVendorString", {kBufAddr}}, 1},
    {effGetProductString, 0, 0, kBuf, 0, 1, {"getProductString", {kBufAddr}}, 1},
    {effGetVendorVersion, 0, 0, nullptr, 0, -2, {"getVendorVersion"}, -2},
    // The one answer passed through at full width.
    WIDE_ONLY({effVendorSpecific,
               -9,
               0x123456789,
               kBuf,
               1.5f,
               kHigh32,
               {"vendorSpecific", {-9, 0x123456789, kBufAddr}, 1.5f},
               kHigh32}){effCanDo, 0, 0, kBuf, 0, -1, {"canDo", {kBufAddr}}, -1},
    {effGetTailSize, 0, 0, nullptr, 0, INT32_MAX, {"getGetTailSize"}, INT32_MAX},
    {effGetParameterProperties, 1, 0, kBuf, 0, 1, {"getParameterProperties", {1, kBufAddr}}, 1},
    {effGetVstVersion, 0, 0, nullptr, 0, 2400, {"getVstVersion"}, 2400},
    {effGetMidiProgramName, 15, 0, kBuf, 0, 3, {"getMidiProgramName", {15, kBufAddr}}, 3},
    {effGetCurrentMidiProgram, 2, 0, kBuf, 0, -1, {"getCurrentMidiProgram", {2, kBufAddr}}, -1},
    {effGetMidiProgramCategory, 3, 0, kBuf, 0, 4, {"getMidiProgramCategory", {3, kBufAddr}}, 4},
    {effHasMidiProgramsChanged, 4, 0, nullptr, 0, 1, {"hasMidiProgramsChanged", {4}}, 1},
    {effGetMidiKeyName, 5, 0, kBuf, 0, 1, {"getMidiKeyName", {5, kBufAddr}}, 1},
    {effBeginSetProgram, 0, 0, nullptr, 0, 1, {"beginSetProgram"}, 1},
    {effEndSetProgram, 0, 0, nullptr, 0, 1, {"endSetProgram"}, 1},
    {effGetSpeakerArrangement,
     0,
     addr(&gSpeakerIn),
     &gSpeakerOut,
     0,
     1,
     {"getSpeakerArrangement", {addr(&gSpeakerIn), addr(&gSpeakerOut)}},
     1},
    {effShellGetNextPlugin,
     0,
     0,
     kBuf,
     0,
     0x54726D77,
     {"getNextShellPlugin", {kBufAddr}},
     0x54726D77},
    {effStartProcess, 0, 0, nullptr, 0, 1, {"startProcess"}, 1},
    {effStopProcess, 0, 0, nullptr, 0, -1, {"stopProcess"}, -1},
    {effSetTotalSampleToProcess,
     0,
     kHigh32 + 7,
     nullptr,
     0,
     7,
     {"setTotalSampleToProcess", {7}},
     7},
    {effSetPanLaw, 0, kHigh32 + 1, nullptr, 0.5f, 1, {"setPanLaw", {1}, 0.5f}, 1},
    {effBeginLoadBank, 0, 0, kBuf, 0, -1, {"beginLoadBank", {kBufAddr}}, -1},
    {effBeginLoadProgram, 0, 0, kBuf, 0, 1, {"beginLoadProgram", {kBufAddr}}, 1},
    {effSetProcessPrecision, 0, kHigh32 + 1, nullptr, 0, 1, {"setProcessPrecision", {1}}, 1},
    {effGetNumMidiInputChannels, 0, 0, nullptr, 0, 16, {"getNumMidiInputChannels"}, 16},
    {effGetNumMidiOutputChannels, 0, 0, nullptr, 0, -16, {"getNumMidiOutputChannels"}, -16},
    // Commands that read or write through ptr refuse a null one.
    {effString2Parameter, 0, 0, nullptr, 0, 1, {}, 0},
    {effGetProgramNameIndexed, 0, 0, nullptr, 0, 1, {}, 0},
    {effGetEffectName, 0, 0, nullptr, 0, 1, {}, 0},
    {effGetVendorString, 0, 0, nullptr, 0, 1, {}, 0},
    {effGetProductString, 0, 0, nullptr, 0, 1, {}, 0},
    {effCanDo, 0, 0, nullptr, 0, 1, {}, 0},
    {effShellGetNextPlugin, 0, 0, nullptr, 0, 1, {}, 0},
    // Both arrangement references are written through, so both are needed.
    {effGetSpeakerArrangement, 0, 0, &gSpeakerOut, 0, 1, {}, 0},
    {effGetSpeakerArrangement, 0, addr(&gSpeakerIn), nullptr, 0, 1, {}, 0},
};

TEST(ExtendedDispatcher, EachCommandCallsItsOperationWithConvertedArguments) {
   runRows<RecordingEffectX>(kExtendedRows);
}

TEST(ExtendedDispatcher, DeprecatedCommandsReachNoOperation) {
   std::vector<Row> rows;
   for (int32_t op : {28, 30, 31, 32, 36, 37, 43, 46, 53, 54, 55, 57}) {
      rows.push_back({op, 1, 512, kBuf, 48000.0f, 0, {}, 0});
   }
   runRows<RecordingEffectX>(rows);
}

// What a host gets from an effect that overrides none of the extended operations.
TEST(ExtendedDispatcher, DefaultAnswers) {
   PlainEffectX fx;
   std::memset(gText, 'x', sizeof gText);
   for (int32_t op = effProcessEvents; op <= effGetNumMidiOutputChannels; ++op) {
      if (op == effGetSpeakerArrangement) continue;
      intptr_t expected = 0;
      if (op == effCanBeAutomated) expected = 1;
      if (op == effGetVstVersion) expected = 2400;
      if (op == effGetCurrentMidiProgram) expected = -1; // all bits set
      if (op == effSetTotalSampleToProcess) expected = 7;
      EXPECT_EQ(dispatch(fx, op, 3, kHigh32 + 7, kBuf, 2.0f), expected) << "opcode " << op;
   }
   EXPECT_EQ(std::string(gText, sizeof gText), std::string(sizeof gText, 'x'));
   EXPECT_EQ(dispatch(fx, effSetTotalSampleToProcess, 0, intptr_t(UINT32_MAX)), -1);
   EXPECT_EQ(dispatch(fx, effCanBeAutomated, INT32_MIN), 1);
   // 28 answers 0 although getNumCategories answers 1; 43 changes no configuration.
   EXPECT_EQ(fx.getNumCategories(), 1);
   EXPECT_EQ(dispatch(fx, 43, 0, 512, nullptr, 48000.0f), 0);
   EXPECT_EQ(fx.getBlockSize(), 1024);
   EXPECT_EQ(fx.getSampleRate(), 44100.0f);

   int held = 0;
   VstSpeakerArrangement* in = reinterpret_cast<VstSpeakerArrangement*>(&held);
   VstSpeakerArrangement* out = in;
   EXPECT_EQ(dispatch(fx, effGetSpeakerArrangement, 0, addr(&in), &out), 0);
   EXPECT_EQ(in, nullptr);
   EXPECT_EQ(out, nullptr);
}

} // namespace
