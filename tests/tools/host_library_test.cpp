// SPDX-License-Identifier: MIT
// The host library against the built plug-in and the fake plug-ins: loading, the entry point,
// the host callback's answers and how far texts reach into host buffers.
#include "tools/hostlib/plugin_instance.h"
#include "tools/hostlib/plugin_module.h"
#include "tools/hostlib/tool_error.h"

#include <gtest/gtest.h>

#include <cstring>

namespace plughost {
namespace {

ExitCode codeOf(const std::function<void()>& action) {
   try {
      action();
   } catch (const ToolError& e) {
      return e.code();
   }
   return ExitCode::ok;
}

// ---- Loading ----------------------------------------------------------------------------------

TEST(PluginModule, FindsBothExportsOfThePlugInAsOneFunction) {
   auto module = PluginModule::load(TRIMWISE_PLUGIN_PATH);
   ASSERT_NE(module->vstPluginMainExport(), nullptr);
   EXPECT_EQ(module->vstPluginMainExport(), module->mainExport());
   EXPECT_STREQ(module->entryName(), "VSTPluginMain");
}

TEST(PluginModule, FallsBackToTheOldEntryName) {
   auto module = PluginModule::load(FAKE_MAIN_ONLY_PATH);
   EXPECT_EQ(module->vstPluginMainExport(), nullptr);
   EXPECT_STREQ(module->entryName(), "main");
   PluginInstance instance(module);
   EXPECT_EQ(instance.effectName(), "Fake");
}

TEST(PluginModule, ReportsLibrariesItCannotUseAsPlugInErrors) {
   EXPECT_EQ(codeOf([] { PluginModule::load("/nonexistent/Trimwise.so"); }), ExitCode::plugin);
   EXPECT_EQ(codeOf([] { PluginModule::load(FAKE_NO_ENTRY_PATH); }), ExitCode::plugin);
}

TEST(PluginModule, NeverTakesTheHostsOwnMainForTheEntry) {
   // The module without an entry depends on libc and friends; `main` must not be found there
   // or in the test executable.
   try {
      PluginModule::load(FAKE_NO_ENTRY_PATH);
      FAIL() << "a module without an entry was accepted";
   } catch (const ToolError& e) {
      EXPECT_NE(std::string(e.what()).find("exports no plug-in entry point"), std::string::npos);
   }
}

TEST(PluginInstance, RejectsEntriesThatReturnNoUsableRecord) {
   auto refusing = PluginModule::load(FAKE_REFUSING_PATH);
   EXPECT_EQ(codeOf([&] { PluginInstance p(refusing); }), ExitCode::plugin);
   auto badMagic = PluginModule::load(FAKE_BAD_MAGIC_PATH);
   try {
      PluginInstance p(badMagic);
      FAIL() << "a record without the magic was accepted";
   } catch (const ToolError& e) {
      EXPECT_NE(std::string(e.what()).find("magic 0x0"), std::string::npos) << e.what();
   }
}

// ---- Host callback ----------------------------------------------------------------------------

class HostCallback : public ::testing::Test {
protected:
   std::shared_ptr<PluginModule> module = PluginModule::load(TRIMWISE_PLUGIN_PATH);
   PluginInstance instance{module, HostSettings{48000.0f, 256, {}}};

   intptr_t ask(int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr,
                float opt = 0.0f) {
      auto* record = const_cast<AEffect*>(&instance.record());
      return PluginInstance::hostCallback(record, opcode, index, value, ptr, opt);
   }
};

TEST_F(HostCallback, TheEntryPointsVersionRequestComesFirstAndIsAnswered) {
   ASSERT_FALSE(instance.requests().empty());
   const HostRequest& first = instance.requests().front();
   EXPECT_EQ(first.opcode, audioMasterVersion);
   EXPECT_EQ(first.index, 0);
   EXPECT_EQ(first.value, 0);
   EXPECT_EQ(ask(audioMasterVersion), 2400);
}

TEST_F(HostCallback, AnswersWhatThisHostSupportsAndZeroForTheRest) {
   struct Row {
      int32_t opcode;
      const char* text;
      intptr_t expected;
   };
   const Row rows[] = {
       {audioMasterGetSampleRate, nullptr, 48000},
       {audioMasterGetBlockSize, nullptr, 256},
       {audioMasterGetVendorVersion, nullptr, kHostVersion},
       {audioMasterWillReplaceOrAccumulate, nullptr, 1},
       {audioMasterGetCurrentProcessLevel, nullptr, 1},
       {audioMasterCanDo, "startStopProcess", 1},
       {audioMasterCanDo, "sendVstEvents", 1},
       {audioMasterCanDo, "sendVstTimeInfo", 1},
       {audioMasterCanDo, "acceptIOChanges", 1},
       {audioMasterIOChanged, nullptr, 1},
       // Effects read any nonzero answer as yes, so everything unsupported must answer 0.
       {audioMasterCanDo, "sizeWindow", 0},
       {audioMasterCanDo, "offline", 0},
       {audioMasterSizeWindow, nullptr, 0},
       {5, nullptr, 0},
       {1000, nullptr, 0},
       {-1, nullptr, 0},
   };
   for (const Row& row : rows) {
      EXPECT_EQ(ask(row.opcode, 0, 0, const_cast<char*>(row.text)), row.expected)
          << "opcode " << row.opcode << (row.text ? row.text : "");
   }
}

// The transport a plug-in reads: 120 BPM in 4/4 unless set otherwise, moved on by exactly the
// frames processed, playing only while processing is on. A tempo change keeps the quarter notes
// played before it (a change once moved the whole position to the new tempo).
TEST_F(HostCallback, AnswersTimeFromTheFramesProcessed) {
   struct Row {
      double tempo;
      int32_t blocks;
      double ppq;
      double barStart;
      double firstTempo = 0.0; // played for 750 blocks first, when set
   };
   // 256-frame blocks at 48 kHz: 0.01066... quarter notes per block at 120 BPM.
   const Row rows[] = {{120.0, 0, 0.0, 0.0},
                       {120.0, 750, 8.0, 8.0},
                       {90.0, 1125, 9.0, 8.0},
                       {60.0, 750, 12.0, 12.0, 120.0},
                       {180.0, 375, 10.0, 8.0, 60.0}};
   for (const Row& row : rows) {
      PluginInstance p(module, HostSettings{48000.0f, 256, {}});
      p.start();
      std::vector<float> left(256), right(256);
      float* channels[] = {left.data(), right.data()};
      const int32_t firstBlocks = row.firstTempo > 0.0 ? 750 : 0;
      if (firstBlocks > 0) p.setTempo(row.firstTempo);
      for (int32_t b = 0; b < firstBlocks; ++b)
         p.process(channels, channels, 256);
      p.setTempo(row.tempo);
      for (int32_t b = 0; b < row.blocks; ++b)
         p.process(channels, channels, 256);
      const intptr_t answer = PluginInstance::hostCallback(const_cast<AEffect*>(&p.record()),
                                                           audioMasterGetTime, 0, 0, nullptr, 0);
      ASSERT_NE(answer, 0);
      const VstTimeInfo& t = *reinterpret_cast<const VstTimeInfo*>(answer);
      EXPECT_EQ(t.samplePos, 256.0 * (firstBlocks + row.blocks));
      EXPECT_EQ(t.sampleRate, 48000.0);
      EXPECT_EQ(t.tempo, row.tempo);
      EXPECT_NEAR(t.ppqPos, row.ppq, 1e-9);
      EXPECT_EQ(t.barStartPos, row.barStart);
      EXPECT_EQ(t.timeSigNumerator, 4);
      EXPECT_EQ(t.timeSigDenominator, 4);
      for (int32_t flag : {kVstTransportPlaying, kVstPpqPosValid, kVstTempoValid, kVstBarsValid,
                           kVstTimeSigValid}) {
         EXPECT_TRUE(t.flags & flag) << "flag " << flag << " at tempo " << row.tempo;
      }
      p.stop();
      const auto* stopped = reinterpret_cast<const VstTimeInfo*>(PluginInstance::hostCallback(
          const_cast<AEffect*>(&p.record()), audioMasterGetTime, 0, 0, nullptr, 0));
      EXPECT_FALSE(stopped->flags & kVstTransportPlaying);
   }
}

TEST_F(HostCallback, AnswersTheRateAndSizeLastSent) {
   instance.dispatch(effSetSampleRate, 0, 0, nullptr, 96000.0f);
   instance.dispatch(effSetBlockSize, 0, 1000);
   EXPECT_EQ(ask(audioMasterGetSampleRate), 96000);
   EXPECT_EQ(ask(audioMasterGetBlockSize), 1000);
}

TEST(AudioThreadLevel, RequestsFromTheAudioThreadAreRealTime) {
   HostSettings settings;
   settings.realtime = true;
   PluginInstance p(PluginModule::load(TRIMWISE_PLUGIN_PATH), settings);
   auto* record = const_cast<AEffect*>(&p.record());
   intptr_t level = 0;
   AudioThread audio;
   audio.run([&] {
      level =
          PluginInstance::hostCallback(record, audioMasterGetCurrentProcessLevel, 0, 0, nullptr, 0);
   });
   EXPECT_EQ(level, 2);
   EXPECT_EQ(
       PluginInstance::hostCallback(record, audioMasterGetCurrentProcessLevel, 0, 0, nullptr, 0),
       1);
}

TEST_F(HostCallback, WritesItsNamesWithinTheInterfacesLimit) {
   for (const auto& [opcode, name] : {std::pair{audioMasterGetVendorString, kHostVendor},
                                      std::pair{audioMasterGetProductString, kHostProduct}}) {
      char buffer[80];
      std::memset(buffer, 0x7F, sizeof buffer);
      EXPECT_EQ(ask(opcode, 0, 0, buffer), 1);
      EXPECT_STREQ(buffer, name);
      EXPECT_EQ(buffer[std::strlen(name) + 1], 0x7F) << "wrote past the terminator";
   }
}

TEST_F(HostCallback, KeepsAutomatedParameterChanges) {
   ask(audioMasterAutomate, 1, 0, nullptr, 0.25f);
   ASSERT_EQ(instance.automation().size(), 1u);
   EXPECT_EQ(instance.automation()[0].first, 1);
   EXPECT_EQ(instance.automation()[0].second, 0.25f);
}

TEST(HostCallbackWithoutInstance, AnswersOnlyTheVersion) {
   AEffect stranger{};
   EXPECT_EQ(PluginInstance::hostCallback(nullptr, audioMasterVersion, 0, 0, nullptr, 0), 2400);
   EXPECT_EQ(PluginInstance::hostCallback(&stranger, audioMasterGetSampleRate, 0, 0, nullptr, 0),
             0);
}

// ---- Texts in host buffers --------------------------------------------------------------------

// How far each text of the plug-in reaches into the host's buffer, byte for byte: bounded
// copies fill their whole limit plus the terminator, parameter names are copied whole.
TEST(TextAnswers, ReachExactlyAsFarAsThePlugInWrites) {
   PluginInstance p(PluginModule::load(TRIMWISE_PLUGIN_PATH));
   struct Row {
      int32_t opcode;
      int32_t index;
      const char* text;
      size_t extent;
   };
   const Row rows[] = {
       {effGetEffectName, 0, "Trimwise", 33},   {effGetVendorString, 0, "Quillmark, LLC", 65},
       {effGetProductString, 0, "Bivalor", 65}, {effGetProgramName, 0, "Default", 25},
       {effGetParamName, 0, "Left Gain", 10},   {effGetParamName, 1, "Right Gain", 11},
       {effGetParamLabel, 0, "dB", 9},          {effGetParamLabel, 1, "dB", 9},
       {effGetParamDisplay, 0, "0.000000", 9},  {effGetParamDisplay, 1, "0.000000", 9},
   };
   for (const Row& row : rows) {
      const TextAnswer answer = p.readText(row.opcode, row.index);
      EXPECT_EQ(answer.text, row.text) << row.opcode << "/" << row.index;
      EXPECT_EQ(answer.extent, row.extent) << row.opcode << "/" << row.index;
      EXPECT_TRUE(answer.terminated);
   }
}

TEST(TextAnswers, AnOutOfRangeIndexLeavesTheBufferUntouched) {
   PluginInstance p(PluginModule::load(TRIMWISE_PLUGIN_PATH));
   for (const int32_t opcode : {effGetParamName, effGetParamLabel, effGetParamDisplay}) {
      const TextAnswer answer = p.readText(opcode, 2);
      EXPECT_EQ(answer.extent, 0u) << opcode;
      EXPECT_FALSE(answer.terminated) << opcode;
   }
}

TEST(TextAnswers, CountBytesThatHappenToEqualAFillPattern) {
   // The fake's label ends in 0xA5, one of the two fill bytes: "overlongXYZ\xA5" and its NUL.
   PluginInstance p(PluginModule::load(FAKE_FAULTY_PATH));
   const TextAnswer answer = p.readText(effGetParamLabel, 0);
   EXPECT_EQ(answer.extent, 13u);
   EXPECT_EQ(answer.text, "overlongXYZ\\xA5"); // the lone byte is not UTF-8: shown escaped
}

TEST(PluginInstanceTrace, LogsTheEntryAndEveryCommandInOrder) {
   std::vector<std::string> lines;
   HostSettings settings;
   settings.trace = [&](const std::string& line) { lines.push_back(line); };
   {
      PluginInstance p(PluginModule::load(TRIMWISE_PLUGIN_PATH), settings);
      p.start();
   }
   ASSERT_GE(lines.size(), 8u);
   EXPECT_EQ(lines[0], "call VSTPluginMain");
   EXPECT_EQ(lines[1].rfind("<- audioMasterVersion", 0), 0u) << lines[1];
   const char* commands[] = {"effOpen",         "effSetSampleRate", "effSetBlockSize",
                             "effMainsChanged", "effStartProcess",  "effStopProcess",
                             "effMainsChanged", "effClose"};
   for (size_t i = 0; i < std::size(commands); ++i) {
      EXPECT_EQ(lines[i + 2].rfind(std::string("-> ") + commands[i], 0), 0u) << lines[i + 2];
   }
}

} // namespace
} // namespace plughost
