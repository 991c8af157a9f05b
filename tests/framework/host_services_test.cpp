// SPDX-License-Identifier: MIT
// Requests from the effect to its host: each one is a single call of the host callback with the
// record's address first and exactly the documented arguments, its reply is converted as the
// operation promises, and without a callback the operation gives its fallback.
#include "recording.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

char gText[64];
char gCapability[] = "offline";
alignas(16) unsigned char gRecord[64]; // stands for any record passed by address
const intptr_t kRecordAddr = addr(gRecord);

template <class T>
T* record() {
   return reinterpret_cast<T*>(gRecord);
}

struct HostRow {
   const char* name;
   intptr_t (*call)(AudioEffectX&);
   // The request, after the record address.
   int32_t opcode;
   int32_t index;
   intptr_t value;
   const void* ptr;
   float opt;
   intptr_t reply;
   intptr_t result;
   intptr_t fallback; // the result without a host callback
};

// clang-format off
const HostRow kRows[] = {
   // version 0 means a host too old to answer: 1.
   {"getMasterVersion", [](AudioEffectX& fx) -> intptr_t { return fx.getMasterVersion(); }, 1, 0, 0, nullptr, 0, 0, 1, 1},
   {"getMasterVersion", [](AudioEffectX& fx) -> intptr_t { return fx.getMasterVersion(); }, 1, 0, 0, nullptr, 0, kHigh32, 1, 1},
   {"getMasterVersion", [](AudioEffectX& fx) -> intptr_t { return fx.getMasterVersion(); }, 1, 0, 0, nullptr, 0, kHigh32 + 2400, 2400, 1},
   {"getCurrentUniqueId", [](AudioEffectX& fx) -> intptr_t { return fx.getCurrentUniqueId(); }, 2, 0, 0, nullptr, 0, kHigh32 + 0x54726D77, 0x54726D77, 0},
   {"masterIdle", [](AudioEffectX& fx) -> intptr_t { fx.masterIdle(); return 0; }, 3, 0, 0, nullptr, 0, 5, 0, 0},
   // The host answers 0 for a connected pin; only the low 32 bits count.
   {"isInputConnected", [](AudioEffectX& fx) -> intptr_t { return fx.isInputConnected(3); }, 4, 3, 0, nullptr, 0, 0, 1, 1},
   {"isInputConnected", [](AudioEffectX& fx) -> intptr_t { return fx.isInputConnected(3); }, 4, 3, 0, nullptr, 0, 1, 0, 1},
   WIDE_ONLY({"isInputConnected", [](AudioEffectX& fx) -> intptr_t { return fx.isInputConnected(3); }, 4, 3, 0, nullptr, 0, kHigh32, 1, 1})
   {"isOutputConnected", [](AudioEffectX& fx) -> intptr_t { return fx.isOutputConnected(3); }, 4, 3, 1, nullptr, 0, -1, 0, 1},
   WIDE_ONLY({"isOutputConnected", [](AudioEffectX& fx) -> intptr_t { return fx.isOutputConnected(3); }, 4, 3, 1, nullptr, 0, kHigh32, 1, 1})
   // flag: any nonzero reply, all bits.
   WIDE_ONLY({"beginEdit", [](AudioEffectX& fx) -> intptr_t { return fx.beginEdit(7); }, 43, 7, 0, nullptr, 0, kHigh32, 1, 0})
   {"endEdit", [](AudioEffectX& fx) -> intptr_t { return fx.endEdit(-1); }, 44, -1, 0, nullptr, 0, 0, 0, 0},
   {"ioChanged", [](AudioEffectX& fx) -> intptr_t { return fx.ioChanged(); }, 13, 0, 0, nullptr, 0, -1, 1, 0},
   WIDE_ONLY({"getHostVendorString", [](AudioEffectX& fx) -> intptr_t { return fx.getHostVendorString(gText); }, 32, 0, 0, gText, 0, kHigh32, 1, 0})
   {"getHostProductString", [](AudioEffectX& fx) -> intptr_t { return fx.getHostProductString(gText); }, 33, 0, 0, gText, 0, 0, 0, 0},
   {"updateDisplay", [](AudioEffectX& fx) -> intptr_t { return fx.updateDisplay(); }, 42, 0, 0, nullptr, 0, 2, 1, 0},
   {"sizeWindow", [](AudioEffectX& fx) -> intptr_t { return fx.sizeWindow(640, -480); }, 15, 640, -480, nullptr, 0, 1, 1, 0},
   {"openFileSelector", [](AudioEffectX& fx) -> intptr_t { return fx.openFileSelector(record<VstFileSelect>()); }, 45, 0, 0, gRecord, 0, 1, 1, 0},
   {"closeFileSelector", [](AudioEffectX& fx) -> intptr_t { return fx.closeFileSelector(record<VstFileSelect>()); }, 46, 0, 0, gRecord, 0, 1, 1, 0},
   {"offlineRead", [](AudioEffectX& fx) -> intptr_t { return fx.offlineRead(record<VstOfflineTask>(), -1, true); }, 26, 1, -1, gRecord, 0, 1, 1, 0},
   {"offlineRead", [](AudioEffectX& fx) -> intptr_t { return fx.offlineRead(record<VstOfflineTask>(), 7, false); }, 26, 0, 7, gRecord, 0, 0, 0, 0},
   {"offlineWrite", [](AudioEffectX& fx) -> intptr_t { return fx.offlineWrite(record<VstOfflineTask>(), 7); }, 27, 0, 7, gRecord, 0, 1, 1, 0},
   // New files in index, all files in value.
   {"offlineStart", [](AudioEffectX& fx) -> intptr_t { return fx.offlineStart(record<VstAudioFile>(), 4, 1); }, 25, 1, 4, gRecord, 0, 1, 1, 0},
   {"needIdle", [](AudioEffectX& fx) -> intptr_t { return fx.needIdle(); }, 14, 0, 0, nullptr, 0, 1, 1, 0},
   {"closeWindow", [](AudioEffectX& fx) -> intptr_t { return fx.closeWindow(record<VstWindow>()); }, 40, 0, 0, gRecord, 0, 1, 1, 0},
   {"closeWindow", [](AudioEffectX& fx) -> intptr_t { return fx.closeWindow(nullptr); }, 40, 0, 0, nullptr, 0, 1, 1, 0},
   {"getChunkFile", [](AudioEffectX& fx) -> intptr_t { return fx.getChunkFile(gText); }, 48, 0, 0, gText, 0, 1, 1, 0},
   // exactly 1: the whole reply.
   {"sendVstEventsToHost", [](AudioEffectX& fx) -> intptr_t { return fx.sendVstEventsToHost(record<VstEvents>()); }, 8, 0, 0, gRecord, 0, 1, 1, 0},
   {"sendVstEventsToHost", [](AudioEffectX& fx) -> intptr_t { return fx.sendVstEventsToHost(record<VstEvents>()); }, 8, 0, 0, gRecord, 0, 2, 0, 0},
   {"sendVstEventsToHost", [](AudioEffectX& fx) -> intptr_t { return fx.sendVstEventsToHost(record<VstEvents>()); }, 8, 0, 0, gRecord, 0, -1, 0, 0},
   WIDE_ONLY({"sendVstEventsToHost", [](AudioEffectX& fx) -> intptr_t { return fx.sendVstEventsToHost(record<VstEvents>()); }, 8, 0, 0, gRecord, 0, kHigh32 + 1, 0, 0})
   {"sendVstEventsToHost", [](AudioEffectX& fx) -> intptr_t { return fx.sendVstEventsToHost(nullptr); }, 8, 0, 0, nullptr, 0, 1, 1, 0},
   // 0 or 1: never the reply itself.
   {"canHostDo", [](AudioEffectX& fx) -> intptr_t { return fx.canHostDo(gCapability); }, 37, 0, 0, gCapability, 0, -1, 1, 0},
   {"canHostDo", [](AudioEffectX& fx) -> intptr_t { return fx.canHostDo(gCapability); }, 37, 0, 0, gCapability, 0, 0, 0, 0},
   WIDE_ONLY({"canHostDo", [](AudioEffectX& fx) -> intptr_t { return fx.canHostDo(gCapability); }, 37, 0, 0, gCapability, 0, kHigh32, 1, 0})
   {"offlineGetCurrentPass", [](AudioEffectX& fx) -> intptr_t { return fx.offlineGetCurrentPass(); }, 28, 0, 0, nullptr, 0, 3, 1, 0},
   {"offlineGetCurrentMetaPass", [](AudioEffectX& fx) -> intptr_t { return fx.offlineGetCurrentMetaPass(); }, 29, 0, 0, nullptr, 0, 3, 1, 0},
   // low 32 bits, as signed.
   {"getInputLatency", [](AudioEffectX& fx) -> intptr_t { return fx.getInputLatency(); }, 18, 0, 0, nullptr, 0, 7 * kHigh32 + 5, 5, 0},
   WIDE_ONLY({"getOutputLatency", [](AudioEffectX& fx) -> intptr_t { return fx.getOutputLatency(); }, 19, 0, 0, nullptr, 0, 0xFFFFFFFF, -1, 0})
   {"getCurrentProcessLevel", [](AudioEffectX& fx) -> intptr_t { return fx.getCurrentProcessLevel(); }, 23, 0, 0, nullptr, 0, kHigh32 + 2, 2, 0},
   {"getAutomationState", [](AudioEffectX& fx) -> intptr_t { return fx.getAutomationState(); }, 24, 0, 0, nullptr, 0, -kHigh32 + 3, 3, 0},
   {"getHostVendorVersion", [](AudioEffectX& fx) -> intptr_t { return fx.getHostVendorVersion(); }, 34, 0, 0, nullptr, 0, kHigh32 - 2, -2, 0},
   {"getHostLanguage", [](AudioEffectX& fx) -> intptr_t { return fx.getHostLanguage(); }, 38, 0, 0, nullptr, 0, kHigh32 + 1, 1, 0},
   {"tempoAt", [](AudioEffectX& fx) -> intptr_t { return fx.tempoAt(-5); }, 10, 0, -5, nullptr, 0, kHigh32 + 120, 120, 0},
   {"getNumAutomatableParameters", [](AudioEffectX& fx) -> intptr_t { return fx.getNumAutomatableParameters(); }, 11, 0, 0, nullptr, 0, kHigh32 + 2, 2, 0},
   {"getParameterQuantization", [](AudioEffectX& fx) -> intptr_t { return fx.getParameterQuantization(); }, 12, 0, 0, nullptr, 0, INT32_MIN, INT32_MIN, 0},
   {"willProcessReplacing", [](AudioEffectX& fx) -> intptr_t { return fx.willProcessReplacing(); }, 22, 0, 0, nullptr, 0, kHigh32 + 1, 1, 0},
   // whole: negative replies unchanged.
   WIDE_ONLY({"hostVendorSpecific", [](AudioEffectX& fx) -> intptr_t { return fx.hostVendorSpecific(-9, 0x123456789, gRecord, 1.5f); }, 35, -9, 0x123456789, gRecord, 1.5f, -0x123456789, -0x123456789, 0})
   // address: the reply's bits.
   {"getTimeInfo", [](AudioEffectX& fx) -> intptr_t { return addr(fx.getTimeInfo(-2)); }, 7, 0, -2, nullptr, 0, kRecordAddr, kRecordAddr, 0},
   {"getDirectory", [](AudioEffectX& fx) -> intptr_t { return addr(fx.getDirectory()); }, 41, 0, 0, nullptr, 0, kRecordAddr, kRecordAddr, 0},
   // The pin is not sent.
   {"getPreviousPlug", [](AudioEffectX& fx) -> intptr_t { return addr(fx.getPreviousPlug(3)); }, 20, 0, 0, nullptr, 0, kRecordAddr, kRecordAddr, 0},
   {"getNextPlug", [](AudioEffectX& fx) -> intptr_t { return addr(fx.getNextPlug(3)); }, 21, 0, 0, nullptr, 0, kRecordAddr, kRecordAddr, 0},
   {"getInputSpeakerArrangement", [](AudioEffectX& fx) -> intptr_t { return addr(fx.getInputSpeakerArrangement()); }, 49, 0, 0, nullptr, 0, kRecordAddr, kRecordAddr, 0},
   {"getOutputSpeakerArrangement", [](AudioEffectX& fx) -> intptr_t { return addr(fx.getOutputSpeakerArrangement()); }, 31, 0, 0, nullptr, 0, kRecordAddr, kRecordAddr, 0},
   {"openWindow", [](AudioEffectX& fx) -> intptr_t { return addr(fx.openWindow(record<VstWindow>())); }, 39, 0, 0, gRecord, 0, kRecordAddr, kRecordAddr, 0},
   {"openWindow", [](AudioEffectX& fx) -> intptr_t { return addr(fx.openWindow(nullptr)); }, 39, 0, 0, nullptr, 0, 0, 0, 0},
   // none: the reply is ignored.
   {"wantEvents", [](AudioEffectX& fx) -> intptr_t { fx.wantEvents(1); return 0; }, 6, 0, 1, nullptr, 0, 9, 0, 0},
   {"setOutputSamplerate", [](AudioEffectX& fx) -> intptr_t { fx.setOutputSamplerate(44100.0f); return 0; }, 30, 0, 0, nullptr, 44100.0f, 9, 0, 0},
};
// clang-format on

class HostServices : public ::testing::Test {
protected:
   void SetUp() override { gHostLog = &log; }
   void TearDown() override { gHostLog = nullptr; }
   CallLog log;
};

TEST_F(HostServices, EachRequestSendsItsArgumentsAndConvertsTheReply) {
   for (const HostRow& r : kRows) {
      SCOPED_TRACE(::testing::Message() << r.name << " reply 0x" << std::hex << r.reply);
      PlainEffectX fx(recordingHost);
      log.calls.clear();
      log.answers["host"] = r.reply;
      EXPECT_EQ(r.call(fx), r.result);
      EXPECT_EQ(log.calls, std::vector<Call>{hostRequest(fx.getAeffect(), r.opcode, r.index,
                                                         r.value, r.ptr, r.opt)});
   }
}

TEST_F(HostServices, WithoutCallbackEachRequestGivesItsFallback) {
   for (const HostRow& r : kRows) {
      SCOPED_TRACE(r.name);
      PlainEffectX fx(nullptr);
      EXPECT_EQ(r.call(fx), r.fallback);
   }
   EXPECT_TRUE(log.calls.empty());
}

TEST_F(HostServices, NullRecordsAreRefusedWithoutRequest) {
   PlainEffectX fx(recordingHost);
   log.answers["host"] = 1;
   EXPECT_FALSE(fx.openFileSelector(nullptr));
   EXPECT_FALSE(fx.closeFileSelector(nullptr));
   EXPECT_FALSE(fx.getChunkFile(nullptr));
   EXPECT_TRUE(log.calls.empty());
}

TEST_F(HostServices, AutomationChangesTheParameterBeforeTellingTheHost) {
   RecordingEffectX fx(log, recordingHost);
   fx.setParameterAutomated(1, 0.25f);
   EXPECT_EQ(log.calls, (std::vector<Call>{{"setParameter", {1}, 0.25f},
                                           hostRequest(fx.getAeffect(), 0, 1, 0, nullptr, 0.25f)}));
   log.calls.clear();
   RecordingEffectX alone(log, nullptr);
   alone.setParameterAutomated(0, 0.5f);
   EXPECT_EQ(log.calls, std::vector<Call>{Call("setParameter", {0}, 0.5f)});
}

// The host's rate and block size are stored only when positive, and the effect's own setters
// are not told.
TEST_F(HostServices, UpdateSampleRateAndBlockSizeKeepTheOldValueOnNonPositiveReplies) {
   RecordingEffectX fx(log, recordingHost);
   const Call rateRequest = hostRequest(fx.getAeffect(), 16);
   const Call sizeRequest = hostRequest(fx.getAeffect(), 17);
   struct Step {
      int32_t opcode;
      intptr_t reply;
      double rate;
      int32_t blockSize;
   };
   const Step steps[] = {
       {16, 48000, 48000.0, 1024},
       {16, 0, 48000.0, 1024},
       {16, -1, 48000.0, 1024},
       WIDE_ONLY({16, kHigh32, 4294967296.0, 1024}) WIDE_ONLY({17, 512, 4294967296.0, 512})
           WIDE_ONLY({17, kHigh32, 4294967296.0, 512}) WIDE_ONLY({17, -1, 4294967296.0, 512})
               WIDE_ONLY({17, 0xFFFFFFFF, 4294967296.0, 512})
                   WIDE_ONLY({17, kHigh32 + 64, 4294967296.0, 64})};
   for (const Step& s : steps) {
      SCOPED_TRACE(::testing::Message() << "opcode " << s.opcode << " reply " << s.reply);
      log.calls.clear();
      log.answers["host"] = s.reply;
      if (s.opcode == 16) {
         EXPECT_EQ(fx.updateSampleRate(), s.rate);
      } else {
         EXPECT_EQ(fx.updateBlockSize(), s.blockSize);
      }
      EXPECT_EQ(log.calls, std::vector<Call>{s.opcode == 16 ? rateRequest : sizeRequest});
      EXPECT_EQ(fx.getSampleRate(), float(s.rate));
      EXPECT_EQ(fx.getBlockSize(), s.blockSize);
   }

   PlainEffectX alone(nullptr);
   alone.setSampleRate(22050.0f);
   EXPECT_EQ(alone.updateSampleRate(), 22050.0);
   EXPECT_EQ(alone.updateBlockSize(), 1024);
}

} // namespace
