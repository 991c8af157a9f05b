// SPDX-License-Identifier: MIT
// The records as a host on this target sees them: every offset and size a host compiled
// elsewhere relies on, for the 64-bit and the 32-bit targets. The records with 64-bit fields are
// the trap: 32-bit Linux aligns a double to 4 bytes inside a structure, 32-bit Windows and the
// 64-bit targets to 8, and the same record must come out alike on all of them.
#include "tests/host/host_double.h"

#include <cstdio>
#include <cstring>

using namespace hostdouble;

namespace {

constexpr bool k64Bit = sizeof(void*) == 8;

// The offset of a field in this build, and the offsets hosts use on 64-bit and 32-bit targets.
struct Place {
   const char* what;
   size_t actual;
   size_t at64;
   size_t at32;
};

#define TRIMWISE_FIELD(R, F, A64, A32)                                                             \
   Place {                                                                                         \
#R "::" #F, offsetof(R, F), A64, A32                                                         \
   }
#define TRIMWISE_SIZE(R, S64, S32)                                                                 \
   Place {                                                                                         \
      "sizeof " #R, sizeof(R), S64, S32                                                            \
   }

TEST(RecordLayout, EveryRecordMatchesTheHostsLayoutOnThisTarget) {
   const Place places[] = {
       TRIMWISE_SIZE(AEffect, 192, 144),
       TRIMWISE_FIELD(AEffect, dispatcher, 8, 4),
       TRIMWISE_FIELD(AEffect, numParams, 44, 24),
       TRIMWISE_FIELD(AEffect, flags, 56, 36),
       TRIMWISE_FIELD(AEffect, resvd1, 64, 40),
       TRIMWISE_FIELD(AEffect, initialDelay, 80, 48),
       TRIMWISE_FIELD(AEffect, object, 96, 64),
       TRIMWISE_FIELD(AEffect, uniqueID, 112, 72),
       TRIMWISE_FIELD(AEffect, processReplacing, 120, 80),
       TRIMWISE_FIELD(AEffect, processDoubleReplacing, 128, 84),
       TRIMWISE_FIELD(AEffect, future, 136, 88),

       TRIMWISE_SIZE(VstTimeInfo, 88, 88),
       TRIMWISE_FIELD(VstTimeInfo, samplePos, 0, 0),
       TRIMWISE_FIELD(VstTimeInfo, sampleRate, 8, 8),
       TRIMWISE_FIELD(VstTimeInfo, tempo, 32, 32),
       TRIMWISE_FIELD(VstTimeInfo, cycleEndPos, 56, 56),
       TRIMWISE_FIELD(VstTimeInfo, timeSigNumerator, 64, 64),
       TRIMWISE_FIELD(VstTimeInfo, samplesToNextClock, 80, 80),
       TRIMWISE_FIELD(VstTimeInfo, flags, 84, 84),

       TRIMWISE_SIZE(VstEvent, 32, 32),
       TRIMWISE_FIELD(VstEvent, deltaFrames, 8, 8),
       TRIMWISE_FIELD(VstEvent, data, 16, 16),
       TRIMWISE_SIZE(VstMidiEvent, 32, 32),
       TRIMWISE_FIELD(VstMidiEvent, noteLength, 16, 16),
       TRIMWISE_FIELD(VstMidiEvent, midiData, 24, 24),
       TRIMWISE_FIELD(VstMidiEvent, noteOffVelocity, 29, 29),
       TRIMWISE_SIZE(VstMidiSysexEvent, 48, 32),
       TRIMWISE_FIELD(VstMidiSysexEvent, dumpBytes, 16, 16),
       TRIMWISE_FIELD(VstMidiSysexEvent, resvd1, 24, 20),
       TRIMWISE_FIELD(VstMidiSysexEvent, sysexDump, 32, 24),
       TRIMWISE_FIELD(VstMidiSysexEvent, resvd2, 40, 28),
       TRIMWISE_SIZE(VstEvents, 32, 16),
       TRIMWISE_FIELD(VstEvents, reserved, 8, 4),
       TRIMWISE_FIELD(VstEvents, events, 16, 8),

       TRIMWISE_SIZE(VstSpeakerProperties, 112, 112),
       TRIMWISE_FIELD(VstSpeakerProperties, name, 16, 16),
       TRIMWISE_FIELD(VstSpeakerProperties, type, 80, 80),
       TRIMWISE_FIELD(VstSpeakerArrangement, speakers, 8, 8),
   };
   for (const Place& p : places)
      EXPECT_EQ(p.actual, k64Bit ? p.at64 : p.at32) << p.what;
}

// Which case this target is: the table above holds either way, but a run on a 32-bit Linux
// target is the one that shows a record with doubles stays independent of the alignment rule.
TEST(RecordLayout, ReportsTheDoubleAlignmentInsideStructures) {
   struct Probe {
      int32_t first;
      double second;
   };
   const size_t alignment = offsetof(Probe, second);
   std::printf("[ layout   ] %zu-bit target, doubles aligned to %zu inside structures\n",
               8 * sizeof(void*), alignment);
#if defined(__i386__) && defined(__linux__)
   EXPECT_EQ(alignment, 4u);
#else
   EXPECT_EQ(alignment, 8u);
#endif
}

template <typename T>
T readAt(const AEffect* e, size_t offset) {
   T value;
   std::memcpy(&value, reinterpret_cast<const unsigned char*>(e) + offset, sizeof value);
   return value;
}

intptr_t versionHost(AEffect*, int32_t opcode, int32_t, intptr_t, void*, float) {
   return opcode == audioMasterVersion ? kVstVersion : 0;
}

// The built plug-in's record read as raw bytes at the fixed offsets, as a host compiled from
// another header does, and its functions called through the pointers found there.
TEST(RecordLayout, ThePluginsRecordReadsRightAtTheFixedOffsets) {
   ASSERT_TRUE(plugin().loaded()) << plugin().error();
   ASSERT_NE(plugin().entry(), nullptr);
   AEffect* e = plugin().entry()(versionHost);
   ASSERT_NE(e, nullptr);
   const auto at = [](size_t at64, size_t at32) { return k64Bit ? at64 : at32; };
   EXPECT_EQ(readAt<int32_t>(e, 0), kEffectMagic);
   EXPECT_EQ(readAt<int32_t>(e, at(44, 24)), 2) << "numParams";
   EXPECT_EQ(readAt<int32_t>(e, at(48, 28)), 2) << "numInputs";
   EXPECT_EQ(readAt<int32_t>(e, at(52, 32)), 2) << "numOutputs";
   EXPECT_EQ(readAt<int32_t>(e, at(112, 72)), fourCharCode('T', 'r', 'm', 'w')) << "uniqueID";
   const auto replacing = readAt<AEffectProcessProc>(e, at(120, 80));
   const auto doubles = readAt<AEffectProcessDoubleProc>(e, at(128, 84));
   ASSERT_NE(replacing, nullptr);
   ASSERT_NE(doubles, nullptr);
   readAt<AEffectSetParameterProc>(e, at(24, 12))(e, 0, 0.5f);

   float l[3] = {1.0f, -2.0f, 0.75f}, r[3] = {4.0f, 8.0f, -1.0f};
   float* io[2] = {l, r};
   replacing(e, io, io, 3);
   EXPECT_EQ(l[1], -1.0f);
   EXPECT_EQ(r[1], 8.0f);
   double dl[2] = {3.0, 5.0}, dr[2] = {7.0, 9.0};
   double* dio[2] = {dl, dr};
   doubles(e, dio, dio, 2);
   EXPECT_EQ(dl[1], 2.5);
   EXPECT_EQ(dr[1], 9.0);

   readAt<AEffectDispatcherProc>(e, at(8, 4))(e, effClose, 0, 0, nullptr, 0.0f);
}

} // namespace
