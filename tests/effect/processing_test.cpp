// SPDX-License-Identifier: MIT
// Processing through the record of the loaded plug-in, checked bit for bit against the
// definition: per frame, left output = left input x left gain, then right output = right input x
// right gain. Every buffer lives in one arena, so overlaps of any kind can be laid out and the
// whole arena, inputs and untouched samples included, is compared with the definition's result.
#include "tests/host/host_double.h"

#include <algorithm>
#include <bit>
#include <cfenv>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

using namespace hostdouble;

namespace {

template <typename T>
using BitsOf = std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>;

// Samples of every kind: ordinary values, denormals, NaNs with payloads (quiet and signalling),
// infinities, zeros of both signs and arbitrary bit patterns (huge values overflow when gained).
template <typename T>
std::vector<T> randomSamples(size_t n, std::mt19937_64& rng) {
   using Bits = BitsOf<T>;
   constexpr int kMantissaBits = std::numeric_limits<T>::digits - 1;
   constexpr Bits kMantissa = (Bits(1) << kMantissaBits) - 1;
   constexpr Bits kSign = Bits(1) << (sizeof(T) * 8 - 1);
   constexpr Bits kExponent = ~(kSign | kMantissa);
   std::uniform_real_distribution<T> ordinary(T(-4), T(4));
   std::vector<T> samples(n);
   for (T& s : samples) {
      const auto r = rng();
      const Bits sign = (r >> 32) & 1 ? kSign : 0;
      const Bits random = static_cast<Bits>(rng());
      switch (r % 20) {
      case 0:
         s = std::bit_cast<T>(sign | (random & kMantissa) | 1);
         break; // denormal
      case 1:
         s = std::bit_cast<T>(sign | kExponent | (random & kMantissa) | 1);
         break; // NaN
      case 2:
         s = std::bit_cast<T>(sign | kExponent);
         break; // infinity
      case 3:
         s = std::bit_cast<T>(sign);
         break; // zero
      case 4:
      case 5:
      case 6:
         s = std::bit_cast<T>(random);
         break;
      default:
         s = ordinary(rng);
         break;
      }
   }
   return samples;
}

// Where the four channels start in the arena, in samples; `size` is the whole arena.
struct Offsets {
   size_t inL, inR, outL, outR, size;
};

constexpr size_t kGuard = 8;

// Channels of n samples with an odd gap between them, so most start unaligned.
size_t slot(size_t n, size_t i) {
   return kGuard + i * (n + 5);
}

struct Layout {
   const char* name;
   Offsets (*at)(size_t n);
};

const Layout kLayouts[] = {
    {"separate buffers",
     [](size_t n) {
        return Offsets{slot(n, 0), slot(n, 1), slot(n, 2), slot(n, 3), slot(n, 4)};
     }},
    {"separate aligned buffers",
     [](size_t n) {
        const size_t stride = (n + 31) / 16 * 16;
        return Offsets{16, 16 + stride, 16 + 2 * stride, 16 + 3 * stride, 16 + 4 * stride};
     }},
    {"in place",
     [](size_t n) {
        return Offsets{slot(n, 0), slot(n, 1), slot(n, 0), slot(n, 1), slot(n, 2)};
     }},
    {"in place, channels swapped",
     [](size_t n) {
        return Offsets{slot(n, 0), slot(n, 1), slot(n, 1), slot(n, 0), slot(n, 2)};
     }},
    {"left output is right input",
     [](size_t n) {
        return Offsets{slot(n, 0), slot(n, 1), slot(n, 1), slot(n, 2), slot(n, 3)};
     }},
    {"right output is left input",
     [](size_t n) {
        return Offsets{slot(n, 0), slot(n, 1), slot(n, 2), slot(n, 0), slot(n, 3)};
     }},
    {"outputs overlap by half a block",
     [](size_t n) {
        return Offsets{slot(n, 0), slot(n, 1), slot(n, 2), slot(n, 2) + n / 2, slot(n, 4)};
     }},
    {"right output one sample ahead of left input",
     [](size_t n) {
        return Offsets{slot(n, 0), slot(n, 1), slot(n, 2), slot(n, 0) + 1, slot(n, 3)};
     }},
    {"outputs one sample ahead of inputs",
     [](size_t n) {
        return Offsets{slot(n, 0), slot(n, 1), slot(n, 0) + 1, slot(n, 1) + 1, slot(n, 2)};
     }},
    {"outputs one sample behind inputs",
     [](size_t n) {
        return Offsets{slot(n, 0) + 1, slot(n, 1) + 1, slot(n, 0), slot(n, 1), slot(n, 2)};
     }},
    {"one buffer for all four",
     [](size_t n) {
        return Offsets{kGuard, kGuard, kGuard, kGuard, kGuard + n + kGuard};
     }},
    {"one input for both channels",
     [](size_t n) {
        return Offsets{slot(n, 0), slot(n, 0), slot(n, 1), slot(n, 2), slot(n, 3)};
     }},
};

// The definition, frame by frame on the arena, with the gains widened to the sample type.
template <typename T>
void definition(T* arena, const Offsets& o, int32_t frames, float leftGain, float rightGain) {
   const T gl = leftGain, gr = rightGain;
   T *inL = arena + o.inL, *inR = arena + o.inR, *outL = arena + o.outL, *outR = arena + o.outR;
   for (int32_t i = 0; i < frames; ++i) {
      outL[i] = inL[i] * gl;
      outR[i] = inR[i] * gr;
   }
}

template <typename T>
testing::AssertionResult sameBits(const std::vector<T>& got, const std::vector<T>& want,
                                  const Offsets& o) {
   if (std::memcmp(got.data(), want.data(), got.size() * sizeof(T)) == 0) {
      return testing::AssertionSuccess();
   }
   size_t i = 0;
   while (std::memcmp(&got[i], &want[i], sizeof(T)) == 0)
      ++i;
   return testing::AssertionFailure()
          << "sample " << i << " of the arena (channels at " << o.inL << ", " << o.inR << " -> "
          << o.outL << ", " << o.outR << ") is 0x" << std::hex << std::bit_cast<BitsOf<T>>(got[i])
          << " (" << got[i] << "), the definition gives 0x" << std::bit_cast<BitsOf<T>>(want[i])
          << " (" << want[i] << ")";
}

struct Gains {
   float left, right;
};

const float kInf = std::numeric_limits<float>::infinity();
const Gains kGainPairs[] = {
    {1.0f, 1.0f},   {0.0f, -0.0f}, {0.1f, 1.5f},    {1e-40f, kInf},
    {-kInf, -1.0f}, {0.5f, 0.25f}, {1e30f, 1e-30f}, {std::numeric_limits<float>::max(), 0.7f},
};

const int32_t kFrameCounts[] = {0,  -1, -1000, INT32_MIN, 1,    2,    3,    4,    5,
                                7,  8,  9,     15,        16,   17,   31,   33,   63,
                                64, 65, 127,   1000,      1023, 4096, 4097, 65537};

template <typename T>
class Processing : public testing::Test {
protected:
   void SetUp() override {
      ASSERT_TRUE(plugin().loaded()) << plugin().error();
      ASSERT_TRUE(fx);
      fx.start();
   }

   // Lays the channels out, processes through the record and compares the whole arena with the
   // definition applied to a copy of it.
   testing::AssertionResult processMatchesDefinition(const Layout& layout, int32_t frames,
                                                     Gains gains) {
      // A block that processes nothing still gets channels, to show that nothing was touched.
      const size_t n = frames > 0 ? size_t(frames) : 16;
      const Offsets o = layout.at(n);
      std::vector<T> arena = randomSamples<T>(o.size, rng);
      std::vector<T> expected = arena;
      definition(expected.data(), o, frames, gains.left, gains.right);

      fx.setParameter(0, gains.left);
      fx.setParameter(1, gains.right);
      T* inputs[] = {arena.data() + o.inL, arena.data() + o.inR};
      T* outputs[] = {arena.data() + o.outL, arena.data() + o.outR};
      fx.process(inputs, outputs, frames);
      return sameBits(arena, expected, o);
   }

   Instance fx;
   std::mt19937_64 rng{0x7e57ab1e};
};

using SampleTypes = testing::Types<float, double>;
TYPED_TEST_SUITE(Processing, SampleTypes);

TYPED_TEST(Processing, BitExactForEveryLayoutBlockSizeAndGain) {
   for (const Layout& layout : kLayouts) {
      for (int32_t frames : kFrameCounts) {
         // Under an emulator the largest block alone takes most of a minute; 4097 frames still
         // cover every vector length and tail.
         if (kEmulated && frames > 4097) continue;
         for (Gains gains : kGainPairs) {
            ASSERT_TRUE(this->processMatchesDefinition(layout, frames, gains))
                << layout.name << ", " << frames << " frames, gains " << gains.left << " and "
                << gains.right;
         }
      }
   }
}

// Each channel in its own allocation of exactly the block's length, so that reading or writing
// one sample past either end shows under AddressSanitizer.
TYPED_TEST(Processing, ExactlySizedChannelsOutOfPlaceAndInPlace) {
   using T = TypeParam;
   for (int32_t frames = 1; frames <= 160; frames += (frames < 70 ? 1 : 29)) {
      SCOPED_TRACE(frames);
      const size_t n = size_t(frames);
      std::vector<T> inL = randomSamples<T>(n, this->rng), inR = randomSamples<T>(n, this->rng);
      std::vector<T> outL(n), outR(n);
      this->fx.setParameter(0, 1.5f);
      this->fx.setParameter(1, 0.1f);
      std::vector<T> wantL(n), wantR(n);
      for (size_t i = 0; i < n; ++i) {
         wantL[i] = inL[i] * T(1.5f);
         wantR[i] = inR[i] * T(0.1f);
      }
      const Offsets whole{0, 0, 0, 0, n};
      T* ins[] = {inL.data(), inR.data()};
      T* outs[] = {outL.data(), outR.data()};
      this->fx.process(ins, outs, frames);
      EXPECT_TRUE(sameBits(outL, wantL, whole));
      EXPECT_TRUE(sameBits(outR, wantR, whole));
      this->fx.process(ins, ins, frames);
      EXPECT_TRUE(sameBits(inL, wantL, whole));
      EXPECT_TRUE(sameBits(inR, wantR, whole));
   }
}

// Values worked out by hand, so that the definition above is not the only judge.
TEST(ProcessingByHand, SpecialValues) {
   Instance fx;
   ASSERT_TRUE(fx);
   const float denormal = std::bit_cast<float>(0x00000010u);
   float inL[] = {1.0f, denormal, kInf, -0.0f, 2.0f};
   float inR[] = {1.0f, 1.0f, 0.0f, 1.0f, -3.0f};
   float outL[5], outR[5];
   float* ins[] = {inL, inR};
   float* outs[] = {outL, outR};
   fx.setParameter(0, 1.5f);
   fx.setParameter(1, -0.0f);
   fx.process(ins, outs, 5);
   EXPECT_EQ(outL[0], 1.5f);
   EXPECT_EQ(std::bit_cast<uint32_t>(outL[1]), 0x00000018u) << "denormals must not be flushed";
   EXPECT_EQ(outL[2], kInf);
   EXPECT_EQ(std::bit_cast<uint32_t>(outL[3]), 0x80000000u);
   EXPECT_EQ(outL[4], 3.0f);
   EXPECT_EQ(std::bit_cast<uint32_t>(outR[0]), 0x80000000u); // 1 x -0 is -0
   EXPECT_EQ(std::bit_cast<uint32_t>(outR[2]), 0x80000000u);
   EXPECT_EQ(std::bit_cast<uint32_t>(outR[4]), 0x00000000u); // -3 x -0 is +0

   fx.setParameter(1, 0.0f);
   inR[0] = kInf;
   fx.process(ins, outs, 1);
   EXPECT_TRUE(std::isnan(outR[0])) << "infinity x 0";

   fx.setParameter(0, std::numeric_limits<float>::quiet_NaN());
   fx.process(ins, outs, 5);
   for (float s : outL)
      EXPECT_TRUE(std::isnan(s));
}

// The 64-bit path multiplies by the single-precision gain widened, not by the double nearest it.
TEST(ProcessingByHand, DoublePathUsesTheWidenedSinglePrecisionGain) {
   Instance fx;
   ASSERT_TRUE(fx);
   fx.setParameter(0, 0.1f);
   fx.setParameter(1, 0.1f);
   double inL[] = {1.0, 3.0}, inR[] = {-1.0, 10.0}, outL[2], outR[2];
   double* ins[] = {inL, inR};
   double* outs[] = {outL, outR};
   fx.process(ins, outs, 2);
   EXPECT_EQ(outL[0], 0.100000001490116119384765625);
   EXPECT_EQ(outL[1], 0.300000004470348358154296875);
   EXPECT_EQ(outR[0], -0.100000001490116119384765625);
   EXPECT_EQ(outR[1], 1.00000001490116119384765625);
   EXPECT_NE(outL[0], 0.1);
}

// Processing leaves the thread's floating-point modes (rounding, flush-to-zero) as it found them.
TEST(ProcessingByHand, FloatingPointEnvironmentIsLeftAlone) {
   Instance fx;
   ASSERT_TRUE(fx);
   std::vector<float> l(4096, 0.5f), r(4096, 0.25f);
   std::vector<double> dl(4096, 0.5), dr(4096, 0.25);
   float* io[] = {l.data(), r.data()};
   double* dio[] = {dl.data(), dr.data()};
#if defined(__x86_64__) || defined(__i386__)
   // Start from the default state (nearest, no flush to zero, exceptions masked): a change left
   // behind by an earlier test in this thread would otherwise hide one made here.
   const unsigned saved = _mm_getcsr();
   constexpr unsigned kDefaultCsr = 0x1F80;
   _mm_setcsr(kDefaultCsr);
#endif
   const int rounding = std::fegetround();
   fx.process(io, io, 4096);
   fx.process(dio, dio, 4096);
   EXPECT_EQ(std::fegetround(), rounding);
#if defined(__x86_64__) || defined(__i386__)
   // Exception flags are sticky and may legitimately be raised; compare the control bits.
   EXPECT_EQ(_mm_getcsr() & ~0x3Fu, kDefaultCsr);
   _mm_setcsr(saved);
#endif
}

template <typename T>
class MissingChannels : public testing::Test {};
TYPED_TEST_SUITE(MissingChannels, SampleTypes);

// A host that passes no channel array, or a null channel, gets nothing processed and no crash.
TYPED_TEST(MissingChannels, ProcessNothing) {
   using T = TypeParam;
   Instance fx;
   ASSERT_TRUE(fx);
   fx.setParameter(0, 0.5f);
   fx.setParameter(1, 0.5f);
   constexpr int32_t kFrames = 8;
   std::vector<T> inL(kFrames, T(1)), inR(kFrames, T(2));
   const std::vector<T> untouched(kFrames, T(7));
   for (int missing = 0; missing < 6; ++missing) {
      SCOPED_TRACE(missing);
      std::vector<T> outL = untouched, outR = untouched;
      T* ins[] = {inL.data(), inR.data()};
      T* outs[] = {outL.data(), outR.data()};
      T** inputs = ins;
      T** outputs = outs;
      switch (missing) {
      case 0:
         inputs = nullptr;
         break;
      case 1:
         outputs = nullptr;
         break;
      case 2:
         ins[0] = nullptr;
         break;
      case 3:
         ins[1] = nullptr;
         break;
      case 4:
         outs[0] = nullptr;
         break;
      case 5:
         outs[1] = nullptr;
         break;
      }
      fx.process(inputs, outputs, kFrames);
      EXPECT_EQ(outL, untouched);
      EXPECT_EQ(outR, untouched);
   }
}

// The deprecated accumulating call is not implemented by this effect: it touches nothing.
TEST(ProcessingByHand, AccumulatingCallTouchesNothing) {
   Instance fx;
   ASSERT_TRUE(fx);
   float inL[4] = {1, 2, 3, 4}, inR[4] = {5, 6, 7, 8}, outL[4] = {9, 9, 9, 9},
         outR[4] = {9, 9, 9, 9};
   float* ins[] = {inL, inR};
   float* outs[] = {outL, outR};
   fx.effect()->process(fx.effect(), ins, outs, 4);
   for (float s : outL)
      EXPECT_EQ(s, 9.0f);
   for (float s : outR)
      EXPECT_EQ(s, 9.0f);
}

} // namespace
