// SPDX-License-Identifier: MIT
// Commands through the record's dispatcher: identity texts written into guarded host buffers,
// the program name, and the answers of every command the effect leaves at its default.
#include "tests/host/host_double.h"

#include <climits>
#include <memory>
#include <string>

using namespace hostdouble;

namespace {

class CommandTest : public testing::Test {
protected:
   void SetUp() override {
      ASSERT_TRUE(plugin().loaded()) << plugin().error();
      ASSERT_TRUE(fx);
      fx.start();
   }

   Instance fx;
};

// --- Identity

struct IdentityText {
   int32_t opcode;
   size_t limit;
   const char* text;
};

TEST_F(CommandTest, IdentityTextsFillExactlyTheirLimit) {
   const IdentityText rows[] = {
       {effGetEffectName, 32, "Trimwise"},
       {effGetVendorString, 64, "Quillmark, LLC"},
       {effGetProductString, 64, "Bivalor"},
   };
   for (const IdentityText& row : rows) {
      SCOPED_TRACE(row.text);
      GuardedText buffer(row.limit);
      EXPECT_EQ(fx.dispatch(row.opcode, 0, 0, buffer.data()), 1);
      EXPECT_TRUE(buffer.holdsBounded(row.text));
   }
   EXPECT_EQ(fx.dispatch(effGetVendorVersion), 1000);
}

// --- Program name

TEST_F(CommandTest, ProgramNameStartsAsDefault) {
   GuardedText name(24);
   EXPECT_EQ(fx.dispatch(effGetProgramName, 0, 0, name.data()), 0);
   EXPECT_TRUE(name.holdsBounded("Default"));
}

TEST_F(CommandTest, ProgramNameRoundTripsCutAtTwentyFour) {
   const std::string cases[] = {
       "abcdefghijklmnopqrstuvwxyz0123", // 30 characters: the first 24 are kept
       "exactly twenty-four chrs",       // fits exactly
       "Short",
       "", // empty name
   };
   for (const std::string& given : cases) {
      SCOPED_TRACE(given);
      // Exactly the text and its NUL, so that reading past them shows under ASan.
      auto text = std::make_unique<char[]>(given.size() + 1);
      given.copy(text.get(), given.size());
      text[given.size()] = '\0';
      EXPECT_EQ(fx.dispatch(effSetProgramName, 0, 0, text.get()), 0);

      GuardedText name(24);
      fx.dispatch(effGetProgramName, 0, 0, name.data());
      EXPECT_TRUE(name.holdsBounded(given.substr(0, 24)));
   }
}

// There is one name whatever program the host selects.
TEST_F(CommandTest, ProgramSelectionKeepsTheOneName) {
   char given[] = "Mine";
   fx.dispatch(effSetProgramName, 0, 0, given);
   fx.dispatch(effSetProgram, 0, 0);
   EXPECT_EQ(fx.dispatch(effGetProgram), 0);
   fx.dispatch(effSetProgram, 0, 1); // beyond the one program: ignored
   EXPECT_EQ(fx.dispatch(effGetProgram), 0);
   fx.dispatch(effSetProgram, 0, kHigh32); // the whole value counts, not its low bits
   EXPECT_EQ(fx.dispatch(effGetProgram), 0);
   fx.dispatch(effSetProgram, 0, -1); // no lower bound
   EXPECT_EQ(fx.dispatch(effGetProgram), intptr_t(-1));
   GuardedText name(24);
   fx.dispatch(effGetProgramName, 0, 0, name.data());
   EXPECT_TRUE(name.holdsBounded("Mine"));
}

// --- Default answers

struct DefaultAnswer {
   const char* what;
   int32_t opcode;
   int32_t index;
   intptr_t value;
   intptr_t answer;
};

// Commands answered without touching ptr: each gets a guarded buffer that must stay as it was.
TEST_F(CommandTest, DefaultAnswersTouchNothing) {
   const DefaultAnswer rows[] = {
       {"VST version", effGetVstVersion, 0, 0, 2400},
       {"current MIDI program, full width", effGetCurrentMidiProgram, 0, 0, -1},
       {"total samples, low 32 bits", effSetTotalSampleToProcess, 0, kHigh32 + 7, 7},
       {"total samples, sign-extended", effSetTotalSampleToProcess, 0, intptr_t(UINT32_MAX), -1},
       {"plug-in category", effGetPlugCategory, 0, 0, 0},
       {"automatable, index 0", effCanBeAutomated, 0, 0, 1},
       {"automatable, index 1", effCanBeAutomated, 1, 0, 1},
       {"automatable, any index", effCanBeAutomated, -7, 0, 1},
       {"identify", effIdentify, 0, 0, 0x4E764566},
       {"identify, other arguments", effIdentify, 5, -3, 0x4E764566},
       {"bypass", effSetBypass, 0, kHigh32, 0},
       {"tail size", effGetTailSize, 0, 0, 0},
       {"program name indexed", effGetProgramNameIndexed, 0, 0, 0},
       {"string to parameter", effString2Parameter, 0, 0, 0},
       {"parameter properties", effGetParameterProperties, 0, 0, 0},
       {"input properties", effGetInputProperties, 0, 0, 0},
       {"output properties", effGetOutputProperties, 0, 0, 0},
       {"MIDI input channels", effGetNumMidiInputChannels, 0, 0, 0},
       {"MIDI output channels", effGetNumMidiOutputChannels, 0, 0, 0},
       {"start process", effStartProcess, 0, 0, 0},
       {"stop process", effStopProcess, 0, 0, 0},
       {"process precision", effSetProcessPrecision, 0, 1, 0},
       {"chunk", effGetChunk, 0, 0, 0},
       {"VU", effGetVu, 0, 0, 0},
       {"editor rectangle", effEditGetRect, 0, 0, 0},
       {"editor open", effEditOpen, 0, 0, 0},
       {"key down", effEditKeyDown, 65, 0x1203, 0},
       {"knob mode", effSetEditKnobMode, 0, 2, 0},
       {"deprecated 28", 28, 0, 0, 0},
       {"deprecated 30", 30, 0, 0, 0},
       {"deprecated 31", 31, 0, 0, 0},
       {"deprecated 32", 32, 0, 0, 0},
       {"deprecated 36", 36, 0, 0, 0},
       {"deprecated 37", 37, 0, 0, 0},
       {"deprecated 43", 43, 0, 0, 0},
       {"deprecated 46", 46, 0, 0, 0},
       {"deprecated 53", 53, 0, 0, 0},
       {"deprecated 54", 54, 0, 0, 0},
       {"deprecated 55", 55, 0, 0, 0},
       {"deprecated 57", 57, 0, 0, 0},
       {"unknown 80", 80, 0, 0, 0},
       {"unknown 1000", 1000, 0, 0, 0},
       {"unknown -1", -1, 0, 0, 0},
       {"unknown INT32_MIN", INT32_MIN, 0, 0, 0},
       {"unknown INT32_MAX", INT32_MAX, 0, 0, 0},
   };
   for (const DefaultAnswer& row : rows) {
      SCOPED_TRACE(row.what);
      GuardedText untouchable(64);
      EXPECT_EQ(fx.dispatch(row.opcode, row.index, row.value, untouchable.data()), row.answer);
      EXPECT_TRUE(untouchable.untouched());
   }
}

TEST_F(CommandTest, CanDoAnswersZeroToEveryCapability) {
   for (const char* capability :
        {PlugCanDo::sendVstEvents, PlugCanDo::receiveVstMidiEvent, PlugCanDo::receiveVstTimeInfo,
         PlugCanDo::offline, PlugCanDo::bypass, "", "anything else"}) {
      SCOPED_TRACE(capability);
      EXPECT_EQ(fx.dispatch(effCanDo, 0, 0, const_cast<char*>(capability)), 0);
   }
}

TEST_F(CommandTest, SpeakerArrangementQueryNullsBothReferences) {
   char dummy[2];
   VstSpeakerArrangement* input = reinterpret_cast<VstSpeakerArrangement*>(&dummy[0]);
   VstSpeakerArrangement* output = reinterpret_cast<VstSpeakerArrangement*>(&dummy[1]);
   EXPECT_EQ(fx.dispatch(effGetSpeakerArrangement, 0, reinterpret_cast<intptr_t>(&input), &output),
             0);
   EXPECT_EQ(input, nullptr);
   EXPECT_EQ(output, nullptr);
}

// Every command but close, with a null ptr and zero arguments: no crash, and only the handful of
// commands with a fixed answer answer anything but 0.
TEST_F(CommandTest, NullPtrCommandsAnswerWithoutCrashing) {
   for (int32_t opcode = -2; opcode <= 82; ++opcode) {
      if (opcode == effClose) continue;
      SCOPED_TRACE(opcode);
      intptr_t expected = 0;
      switch (opcode) {
      case effIdentify:
         expected = 0x4E764566;
         break;
      case effCanBeAutomated:
         expected = 1;
         break;
      case effGetVendorVersion:
         expected = 1000;
         break;
      case effGetVstVersion:
         expected = 2400;
         break;
      case effGetCurrentMidiProgram:
         expected = -1;
         break;
      default:
         break;
      }
      EXPECT_EQ(fx.dispatch(opcode, 0, 0, nullptr), expected);
   }
   // Still whole afterwards.
   GuardedText name(32);
   EXPECT_EQ(fx.dispatch(effGetEffectName, 0, 0, name.data()), 1);
   EXPECT_TRUE(name.holdsBounded("Trimwise"));
}

} // namespace
