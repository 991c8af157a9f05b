// SPDX-License-Identifier: MIT
// The host's first contact: the exported entry, the version handshake, the record it returns and
// the life of instances from creation to close.
#include "tests/host/host_double.h"

#include "tests/target.h"
#include <malloc.h>

#include <array>
#include <cstring>
#include <vector>

using namespace hostdouble;

namespace {

class EntryTest : public testing::Test {
protected:
   void SetUp() override {
      ASSERT_TRUE(plugin().loaded()) << plugin().error();
      entry = plugin().entry();
      ASSERT_NE(entry, nullptr);
      RecordingHost::reset();
   }

   EntryProc entry = nullptr;
};

TEST_F(EntryTest, BothExportNamesAreOneFunction) {
   PluginLibrary own(TRIMWISE_PLUGIN_PATH);
   ASSERT_TRUE(own.loaded()) << own.error();
   void* vstPluginMain = own.symbol("VSTPluginMain");
   ASSERT_NE(vstPluginMain, nullptr);
   EXPECT_EQ(own.symbol("main"), vstPluginMain);
}

TEST_F(EntryTest, HostAnsweringZeroGetsNothingAfterOneRequest) {
   RecordingHost::reset(0);
   EXPECT_EQ(entry(RecordingHost::callback), nullptr);
   const std::vector<HostCall> calls = RecordingHost::calls();
   ASSERT_EQ(calls.size(), 1u);
   EXPECT_EQ(calls[0].effect, nullptr);
   EXPECT_EQ(calls[0].opcode, audioMasterVersion);
   EXPECT_EQ(calls[0].index, 0);
   EXPECT_EQ(calls[0].value, 0);
   EXPECT_EQ(calls[0].ptr, nullptr);
   EXPECT_EQ(std::memcmp(&calls[0].opt, "\0\0\0\0", 4), 0) << "opt must be +0.0";
}

TEST_F(EntryTest, AnyNonzeroVersionAnswerGetsARecord) {
   for (intptr_t answer : {intptr_t(1), intptr_t(2400), intptr_t(-1), WIDE_ONLY(kHigh32)}) {
      SCOPED_TRACE(answer);
      RecordingHost::reset(answer);
      AEffect* e = entry(RecordingHost::callback);
      ASSERT_NE(e, nullptr);
      ASSERT_EQ(RecordingHost::calls().size(), 1u);
      EXPECT_EQ(RecordingHost::calls()[0].opcode, audioMasterVersion);
      EXPECT_EQ(e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f), 1);
   }
}

TEST_F(EntryTest, NullCallbackGetsNothing) {
   EXPECT_EQ(entry(nullptr), nullptr);
   EXPECT_TRUE(RecordingHost::calls().empty());
}

// --- The record as the host reads it, before any command

class RecordTest : public EntryTest {};

template <typename T>
T fieldAt(const unsigned char* record, size_t offset) {
   T value;
   std::memcpy(&value, record + offset, sizeof value);
   return value;
}

TEST_F(RecordTest, FreshRecordByteForByte) {
   if constexpr (sizeof(void*) != 8) GTEST_SKIP() << "offsets are those of a 64-bit target";
   AEffect* e = entry(RecordingHost::callback);
   ASSERT_NE(e, nullptr);
   std::array<unsigned char, 192> r;
   std::memcpy(r.data(), e, r.size());

   EXPECT_EQ(fieldAt<int32_t>(r.data(), 0), 0x56737450);    // magic
   EXPECT_EQ(fieldAt<int32_t>(r.data(), 40), 1);            // numPrograms
   EXPECT_EQ(fieldAt<int32_t>(r.data(), 44), 2);            // numParams
   EXPECT_EQ(fieldAt<int32_t>(r.data(), 48), 2);            // numInputs
   EXPECT_EQ(fieldAt<int32_t>(r.data(), 52), 2);            // numOutputs
   EXPECT_EQ(fieldAt<int32_t>(r.data(), 56), 0x1010);       // flags
   EXPECT_EQ(fieldAt<int32_t>(r.data(), 80), 0);            // initialDelay
   EXPECT_EQ(fieldAt<int32_t>(r.data(), 84), 0);            // realQualities
   EXPECT_EQ(fieldAt<int32_t>(r.data(), 88), 0);            // offQualities
   EXPECT_EQ(fieldAt<uint32_t>(r.data(), 92), 0x3F800000u); // ioRatio, exactly 1.0f
   EXPECT_NE(fieldAt<void*>(r.data(), 96), nullptr);        // object
   EXPECT_EQ(fieldAt<void*>(r.data(), 104), nullptr);       // user
   EXPECT_EQ(fieldAt<int32_t>(r.data(), 112), 0x54726D77);  // uniqueID 'Trmw'
   EXPECT_EQ(fieldAt<int32_t>(r.data(), 116), 1);           // version

   // dispatcher, process, setParameter, getParameter, processReplacing, processDoubleReplacing
   for (size_t offset : {8, 16, 24, 32, 120, 128}) {
      EXPECT_NE(fieldAt<void*>(r.data(), offset), nullptr) << "function pointer at " << offset;
   }

   // Alignment gaps, resvd1, resvd2 and the 56 future bytes.
   const std::pair<size_t, size_t> zeroRanges[] = {{4, 8}, {60, 64}, {64, 80}, {136, 192}};
   for (auto [from, to] : zeroRanges) {
      for (size_t i = from; i < to; ++i)
         EXPECT_EQ(r[i], 0) << "byte " << i;
   }
   EXPECT_EQ(e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f), 1);
}

// --- Instances

class InstanceTest : public EntryTest {};

TEST_F(InstanceTest, TwoInstancesShareNothing) {
   Instance a;
   Instance b;
   ASSERT_TRUE(a && b);
   EXPECT_NE(a.effect(), b.effect());
   EXPECT_NE(a.effect()->object, b.effect()->object);

   a.start();
   b.start();
   a.setParameter(0, 0.25f);
   a.setParameter(1, 0.5f);
   char name[] = "Only in b";
   b.dispatch(effSetProgramName, 0, 0, name);
   EXPECT_EQ(b.getParameter(0), 1.0f);
   EXPECT_EQ(b.getParameter(1), 1.0f);
   GuardedText aName(24);
   a.dispatch(effGetProgramName, 0, 0, aName.data());
   EXPECT_TRUE(aName.holdsBounded("Default"));

   EXPECT_EQ(a.close(), 1);

   // b keeps working through every pointer of its record.
   b.setParameter(1, 0.125f);
   EXPECT_EQ(b.getParameter(0), 1.0f);
   EXPECT_EQ(b.getParameter(1), 0.125f);
   float inL[3] = {1.0f, 2.0f, 3.0f}, inR[3] = {4.0f, 8.0f, 16.0f}, outL[3], outR[3];
   float* ins[] = {inL, inR};
   float* outs[] = {outL, outR};
   b.process(ins, outs, 3);
   EXPECT_EQ(outL[2], 3.0f);
   EXPECT_EQ(outR[2], 2.0f);
   GuardedText bName(24);
   b.dispatch(effGetProgramName, 0, 0, bName.data());
   EXPECT_TRUE(bName.holdsBounded("Only in b"));
   GuardedText vendor(64);
   EXPECT_EQ(b.dispatch(effGetVendorString, 0, 0, vendor.data()), 1);
   EXPECT_TRUE(vendor.holdsBounded("Quillmark, LLC"));
   EXPECT_EQ(b.close(), 1);
}

// A host session makes no request beyond the version: the effect has nothing to ask.
TEST_F(InstanceTest, WholeSessionAsksTheHostOnlyForItsVersion) {
   {
      Instance fx;
      ASSERT_TRUE(fx);
      fx.start();
      fx.setParameter(0, 0.5f);
      GuardedText text(8);
      fx.dispatch(effGetParamDisplay, 0, 0, text.data());
      float l[4] = {}, r[4] = {};
      float* io[] = {l, r};
      fx.process(io, io, 4);
      fx.dispatch(effMainsChanged, 0, 0);
      EXPECT_EQ(fx.close(), 1);
   }
   const std::vector<HostCall> calls = RecordingHost::calls();
   ASSERT_EQ(calls.size(), 1u);
   EXPECT_EQ(calls[0].opcode, audioMasterVersion);
}

[[maybe_unused]] void runSession(EntryProc entry) {
   AEffect* e = entry(RecordingHost::callback);
   if (e == nullptr) return;
   e->dispatcher(e, effOpen, 0, 0, nullptr, 0.0f);
   e->dispatcher(e, effSetSampleRate, 0, 0, nullptr, 44100.0f);
   e->dispatcher(e, effSetBlockSize, 0, 64, nullptr, 0.0f);
   e->dispatcher(e, effMainsChanged, 0, 1, nullptr, 0.0f);
   float l[64] = {}, r[64] = {};
   double dl[64] = {}, dr[64] = {};
   float* io[] = {l, r};
   double* dio[] = {dl, dr};
   e->processReplacing(e, io, io, 64);
   e->processDoubleReplacing(e, dio, dio, 64);
   e->dispatcher(e, effMainsChanged, 0, 0, nullptr, 0.0f);
   e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
}

TEST_F(InstanceTest, RepeatedSessionsDoNotGrowTheHeap) {
#if !defined(TRIMWISE_HEAP_STATISTICS)
   GTEST_SKIP() << "no heap statistics in this build (sanitizer, emulator or no glibc)";
#else
   constexpr int kSessions = 2000;
   RecordingHost::reset();
   // The recording host keeps one entry per instance: give it room first.
   for (int i = 0; i < 8; ++i)
      runSession(entry);
   RecordingHost::reset();
   const size_t before = mallinfo2().uordblks;
   for (int i = 0; i < kSessions; ++i) {
      RecordingHost::reset();
      runSession(entry);
   }
   const size_t after = mallinfo2().uordblks;
   // An instance is a few hundred bytes; a leak of one per session would be hundreds of KiB.
   EXPECT_LE(after, before + 4096) << "heap grew from " << before << " to " << after << " bytes";
#endif
}

} // namespace
