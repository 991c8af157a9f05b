// SPDX-License-Identifier: MIT
// Speaker arrangement blocks: their size and contents, who releases them, and the copies of
// speaker records and whole arrangements. Sizes are checked by reading and writing the whole
// expected block, which the address sanitizer build turns into a bounds check.
#include "recording.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <vector>

#include "tests/target.h"

#if defined(TRIMWISE_ADDRESS_SANITIZER)
// The largest arrangement asks for 2 GiB: a refusal must come back as null, as from the
// system's allocator, rather than end the test run.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
   return "allocator_may_return_null=1";
}
#endif

namespace {

size_t blockSize(int32_t channels) {
   return 8 + 112 * size_t(channels);
}

std::vector<unsigned char> bytesOf(const void* p, size_t n) {
   const auto* b = static_cast<const unsigned char*>(p);
   return {b, b + n};
}

class SpeakerArrangements : public ::testing::Test {
protected:
   void TearDown() override { fx.deallocateArrangement(&arrangement); }

   PlainEffectX fx;
   VstSpeakerArrangement* arrangement = nullptr;
};

TEST_F(SpeakerArrangements, AllocateGivesAZeroBlockSizedToTheCount) {
   for (int32_t n : {0, 2, 1, 0}) {
      SCOPED_TRACE(n);
      ASSERT_TRUE(fx.allocateArrangement(&arrangement, n));
      ASSERT_NE(arrangement, nullptr);
      std::vector<unsigned char> expected(blockSize(n), 0);
      expected[4] = static_cast<unsigned char>(n);
      EXPECT_EQ(bytesOf(arrangement, blockSize(n)), expected);
      std::memset(arrangement, 0xEE, blockSize(n)); // the whole block belongs to the holder
   }
}

#if defined(TRIMWISE_HEAP_STATISTICS)
// A block that is not released before the next one is obtained shows as heap growth. (The
// sanitizer builds find the same fault as a leak.)
TEST_F(SpeakerArrangements, ReallocationReleasesTheOldBlock) {
   ASSERT_TRUE(fx.allocateArrangement(&arrangement, 100));
   const size_t inUse = mallinfo2().uordblks;
   for (int i = 0; i < 1000; ++i)
      ASSERT_TRUE(fx.allocateArrangement(&arrangement, 100));
   EXPECT_LT(mallinfo2().uordblks, inUse + 2 * blockSize(100));
   EXPECT_TRUE(fx.deallocateArrangement(&arrangement));
   EXPECT_EQ(arrangement, nullptr);
   EXPECT_LT(mallinfo2().uordblks, inUse);
}
#endif

TEST_F(SpeakerArrangements, DeallocateOfNothingIsTrue) {
   EXPECT_TRUE(fx.deallocateArrangement(&arrangement));
   EXPECT_EQ(arrangement, nullptr);
}

// Counts whose block size does not fit 32 bits are refused, and the block held before is gone.
TEST_F(SpeakerArrangements, CountsOutOfRangeAreRefusedAndLeaveNoBlock) {
   for (int32_t n : {-1, INT32_MIN, 19173962, INT32_MAX}) {
      SCOPED_TRACE(n);
      ASSERT_TRUE(fx.allocateArrangement(&arrangement, 1));
      EXPECT_FALSE(fx.allocateArrangement(&arrangement, n));
      EXPECT_EQ(arrangement, nullptr);
   }
}

#if !defined(TRIMWISE_THREAD_SANITIZER) // clears the whole 2 GiB block there
TEST_F(SpeakerArrangements, LargestCountGivesABlockOrNothing) {
   constexpr int32_t kLargest = 19173961;
   const bool obtained = fx.allocateArrangement(&arrangement, kLargest);
   if (obtained) {
      ASSERT_NE(arrangement, nullptr);
      EXPECT_EQ(arrangement->numChannels, kLargest);
      const auto* last = reinterpret_cast<const unsigned char*>(arrangement) + blockSize(kLargest);
      EXPECT_EQ(last[-1], 0);
   } else {
      EXPECT_EQ(arrangement, nullptr);
   }
}
#endif

VstSpeakerProperties patternedSpeaker(unsigned char seed) {
   VstSpeakerProperties s;
   std::memset(&s, 0, sizeof s);
   s.azimuth = -0.0f;
   s.elevation = 1e-40f; // denormal
   s.radius = 2.5f * seed;
   s.reserved = -3.0f;
   std::strcpy(s.name, "Front");
   s.type = -2 - seed;
   for (size_t i = 0; i < sizeof s.future; ++i)
      s.future[i] = char(i * 37 + seed); // NULs too
   return s;
}

TEST_F(SpeakerArrangements, CopySpeakerCopiesEveryFieldAndBoundsTheName) {
   VstSpeakerProperties from = patternedSpeaker(1);
   VstSpeakerProperties to;
   std::memset(&to, 0xCC, sizeof to);
   ASSERT_TRUE(fx.copySpeaker(&to, &from));
   EXPECT_EQ(bytesOf(&to, sizeof to), bytesOf(&from, sizeof from));

   // A name without NUL in its 64 bytes arrives as 63 characters and a NUL.
   std::memset(from.name, 'n', sizeof from.name);
   ASSERT_TRUE(fx.copySpeaker(&to, &from));
   EXPECT_EQ(std::string(to.name, 64), std::string(63, 'n') + '\0');
   EXPECT_EQ(bytesOf(&to.type, 32), bytesOf(&from.type, 32));
}

TEST_F(SpeakerArrangements, CopySpeakerWithANullRecordWritesNothing) {
   VstSpeakerProperties from = patternedSpeaker(1);
   VstSpeakerProperties to;
   std::memset(&to, 0xCC, sizeof to);
   const auto before = bytesOf(&to, sizeof to);
   EXPECT_FALSE(fx.copySpeaker(&to, nullptr));
   EXPECT_FALSE(fx.copySpeaker(nullptr, &from));
   EXPECT_FALSE(fx.copySpeaker(nullptr, nullptr));
   EXPECT_EQ(bytesOf(&to, sizeof to), before);
}

// A 3-channel source laid out by hand, names NUL-padded so the copy is byte-identical.
struct Source {
   Source() {
      std::memset(bytes, 0, sizeof bytes);
      auto* a = reinterpret_cast<VstSpeakerArrangement*>(bytes);
      a->type = 0x0A0B0C0D;
      a->numChannels = 3;
      for (int32_t i = 0; i < 3; ++i)
         *speakerAt(a, i) = patternedSpeaker(uint8_t(i + 1));
   }
   VstSpeakerArrangement* get() { return reinterpret_cast<VstSpeakerArrangement*>(bytes); }
   alignas(8) unsigned char bytes[344];
};

TEST_F(SpeakerArrangements, MatchMakesAnExactCopyInANewBlock) {
   Source source;
   ASSERT_TRUE(fx.allocateArrangement(&arrangement, 7));
   ASSERT_TRUE(fx.matchArrangement(&arrangement, source.get()));
   ASSERT_NE(arrangement, nullptr);
   EXPECT_EQ(bytesOf(arrangement, sizeof source.bytes), bytesOf(source.bytes, sizeof source.bytes));
}

TEST_F(SpeakerArrangements, MatchWithANullSourceLeavesTheDestination) {
   ASSERT_TRUE(fx.allocateArrangement(&arrangement, 1));
   std::memset(arrangement, 0x5A, blockSize(1));
   VstSpeakerArrangement* const held = arrangement;
   EXPECT_FALSE(fx.matchArrangement(&arrangement, nullptr));
   EXPECT_EQ(arrangement, held);
   EXPECT_EQ(bytesOf(arrangement, blockSize(1)), std::vector<unsigned char>(blockSize(1), 0x5A));
}

// Bug: matching a block with itself released the source and then copied from freed memory.
TEST_F(SpeakerArrangements, MatchWithItselfKeepsTheBlockIntact) {
   Source source;
   ASSERT_TRUE(fx.matchArrangement(&arrangement, source.get()));
   VstSpeakerArrangement* const held = arrangement;
   EXPECT_TRUE(fx.matchArrangement(&arrangement, arrangement));
   EXPECT_EQ(arrangement, held);
   EXPECT_EQ(bytesOf(arrangement, sizeof source.bytes), bytesOf(source.bytes, sizeof source.bytes));
}

TEST_F(SpeakerArrangements, MatchCopiesThroughAnOverriddenCopySpeakerAndStopsAtItsFailure) {
   struct Failing : PlainEffectX {
      int copies = 0;
      bool copySpeaker(VstSpeakerProperties* to, VstSpeakerProperties* from) override {
         return ++copies < 2 && PlainEffectX::copySpeaker(to, from);
      }
   } failing;
   Source source;
   EXPECT_FALSE(failing.matchArrangement(&arrangement, source.get()));
   EXPECT_EQ(failing.copies, 2);
   ASSERT_NE(arrangement, nullptr);
   EXPECT_EQ(arrangement->numChannels, 3);
   EXPECT_EQ(bytesOf(speakerAt(arrangement, 0), 112), bytesOf(speakerAt(source.get(), 0), 112));
}

} // namespace
