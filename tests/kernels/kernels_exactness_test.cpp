// SPDX-License-Identifier: MIT
// Every kernel the binary contains, forced in turn, against the frame-by-frame definition, bit for
// bit: all block sizes up to a few vectors plus large odd ones, every alignment, special values,
// in place, out of place and overlapping buffers. Each case runs on one arena of samples and
// compares the whole arena, so a write outside the output ranges fails too.
#include "effect/gain_kernels.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <cfenv>
#include <cstdio>
#include <set>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace {

using trimwise::applyStereoGain;

template <typename T>
auto bitsOf(T v) {
   if constexpr (sizeof(T) == 4) {
      return std::bit_cast<uint32_t>(v);
   } else {
      return std::bit_cast<uint64_t>(v);
   }
}

// Values a multiplication treats specially, including NaNs with payloads and a signaling NaN.
template <typename T>
std::vector<T> specialValues() {
   using L = std::numeric_limits<T>;
   using Bits = decltype(bitsOf(T{}));
   const Bits quietBit = Bits{1} << (L::digits - 2);
   const T payloadNaN = std::bit_cast<T>(bitsOf(L::quiet_NaN()) | Bits{0x2a});
   const T signalingNaN = std::bit_cast<T>((bitsOf(L::quiet_NaN()) & ~quietBit) | Bits{1});
   return {T(0),        -T(0),        T(1),      T(-1),         L::denorm_min(), -L::min() / 3,
           L::min(),    L::max(),     -L::max(), L::infinity(), -L::infinity(),  L::quiet_NaN(),
           -payloadNaN, signalingNaN, T(0.1),    T(-3.75)};
}

// Gains, as pairs (left, right): the ordinary ones and those that make the products special.
template <typename T>
std::vector<std::pair<T, T>> gainPairs() {
   using L = std::numeric_limits<T>;
   return {{T(0.5), T(0.25)},        {T(1), T(-1.5)},         {T(0), -T(0)},
           {T(1e30), T(-1e-30)},     {L::denorm_min(), T(3)}, {L::infinity(), -L::infinity()},
           {T(0.1f), L::quiet_NaN()}};
}

// Mostly ordinary samples with a special one every few, in varying lanes.
template <typename T>
void fill(std::vector<T>& v, uint32_t seed) {
   static const std::vector<T> specials = specialValues<T>();
   std::mt19937 rng(seed);
   std::uniform_real_distribution<T> normal(T(-2), T(2));
   for (T& x : v)
      x = rng() % 4 == 0 ? specials[rng() % specials.size()] : normal(rng);
}

// A product of two NaNs may carry either payload; every other product has exactly one answer.
template <typename T>
bool sameSample(T actual, T expected, bool gainIsNaN) {
   if (gainIsNaN && std::isnan(actual) && std::isnan(expected)) return true;
   return bitsOf(actual) == bitsOf(expected);
}

// Element offsets of the four channels within one arena.
struct Layout {
   size_t inL, inR, outL, outR;
};

// Arena storage whose element 0 sits on a 64-byte boundary, so that offsets 0..15 reach every
// alignment a vector kernel can meet.
template <typename T>
class Arena {
public:
   explicit Arena(size_t n) : storage(n + 64 / sizeof(T)) {
      const auto address = reinterpret_cast<uintptr_t>(storage.data());
      first = (64 - address % 64) % 64 / sizeof(T);
      size = n;
   }
   T* data() { return storage.data() + first; }
   std::vector<T> copy() { return {data(), data() + size}; }
   void assign(const std::vector<T>& v) { std::copy(v.begin(), v.end(), data()); }

private:
   std::vector<T> storage;
   size_t first;
   size_t size;
};

// Runs applyStereoGain on the layout and the definition on a copy; compares every sample.
template <typename T>
void expectDefinition(const std::vector<T>& initial, const Layout& at, size_t n, T gl, T gr) {
   std::vector<T> expected = initial;
   for (size_t i = 0; i < n; ++i) {
      expected[at.outL + i] = expected[at.inL + i] * gl;
      expected[at.outR + i] = expected[at.inR + i] * gr;
   }
   Arena<T> arena(initial.size());
   arena.assign(initial);
   T* base = arena.data();
   applyStereoGain(base + at.inL, base + at.inR, base + at.outL, base + at.outR, n, gl, gr);
   const std::vector<T> actual = arena.copy();
   const bool gainIsNaN = std::isnan(gl) || std::isnan(gr);
   for (size_t i = 0; i < actual.size(); ++i) {
      if (!sameSample(actual[i], expected[i], gainIsNaN)) {
         FAIL() << "sample " << i << " of the arena: " << actual[i] << " instead of " << expected[i]
                << " (frames " << n << ", in " << at.inL << "/" << at.inR << ", out " << at.outL
                << "/" << at.outR << ")";
      }
   }
}

std::vector<size_t> blockSizes() {
   std::vector<size_t> sizes;
   for (size_t n = 0; n <= 70; ++n)
      sizes.push_back(n);
   for (size_t n : {127, 255, 1001, 4099, 65537})
      sizes.push_back(n);
   return sizes;
}

std::vector<std::string> kernelNames() {
   std::vector<std::string> names;
   for (const trimwise::GainKernel& k : trimwise::gainKernels())
      names.push_back(k.name);
   return names;
}

// Which kernels this run exercised and which it skipped because the processor (real or
// emulated) lacks their instructions; printed when the run ends, so a log shows what was covered.
struct KernelCoverage : ::testing::Environment {
   static inline std::set<std::string> ran, skipped;

   void TearDown() override {
      if (ran.empty() && skipped.empty()) return; // no exactness test in this run
      std::string line = "[ kernels  ] ran:";
      for (const std::string& k : ran)
         line += " " + k;
      line += "; skipped, processor lacks them:";
      for (const std::string& k : skipped)
         line += " " + k;
      if (skipped.empty()) line += " none";
      std::printf("%s\n", line.c_str());
   }
};
[[maybe_unused]] ::testing::Environment* const kCoverage =
    ::testing::AddGlobalTestEnvironment(new KernelCoverage);

class GainKernelExactness : public ::testing::TestWithParam<std::string> {
protected:
   void SetUp() override {
      if (!trimwise::forceGainKernel(GetParam())) {
         KernelCoverage::skipped.insert(GetParam());
         GTEST_SKIP() << "this processor cannot run the " << GetParam() << " kernel";
      }
      ASSERT_EQ(trimwise::activeGainKernel().name, GetParam());
      KernelCoverage::ran.insert(GetParam());
   }
   void TearDown() override { trimwise::selectWidestGainKernel(); }

   // Disjoint buffers (with guard samples between them) and in place, at every pair of input
   // and output alignments; large blocks at a few alignments only, to keep the run short.
   template <typename T>
   static void disjointAndInPlace() {
      const auto gains = gainPairs<T>();
      size_t round = 0;
      for (size_t n : blockSizes()) {
         const size_t span = n + 32; // room for an offset of up to 15 and guard samples
         std::vector<T> initial(4 * span);
         fill(initial, uint32_t(n));
         const size_t maxOffset = n <= 70 ? 15 : 1;
         for (size_t a = 0; a <= maxOffset; ++a) {
            for (size_t b = 0; b <= maxOffset; ++b) {
               const auto [gl, gr] = gains[round++ % gains.size()];
               expectDefinition<T>(initial, {a, span + b, 2 * span + b, 3 * span + a}, n, gl, gr);
               expectDefinition<T>(initial, {a, span + b, a, span + b}, n, gl, gr);
               if (HasFatalFailure()) return;
            }
         }
      }
   }

   // Partial overlaps (each must give the frame-by-frame result), mixed with in-place and
   // disjoint channels: a fixed table of the shapes a host could produce, then random layouts.
   template <typename T>
   static void overlaps() {
      const auto gains = gainPairs<T>();
      std::mt19937 rng(7);
      size_t round = 0;
      for (size_t n : {1, 2, 3, 15, 16, 17, 33, 64, 70, 1001}) {
         std::vector<T> initial(3 * n + 8);
         fill(initial, uint32_t(n));
         const size_t o = n; // a base far enough from 0 for "one sample before"
         const std::vector<Layout> table = {
             {o, o, o, o},             // one buffer for all four channels
             {o, o + n, o + 1, o + n}, // left output one sample after its input
             {o + 1, 2 * n, o, 2 * n}, // left output one sample before its input
             {0, n, 2 * n, 2 * n},     // both outputs into one buffer
             {0, 2 * n, 2 * n, n},     // left output is the right input
             {0, 0, 0, n},             // left in place, right reads the left channel
             {0, n, n, 2 * n},         // left output is the right input, right out of place
         };
         for (const Layout& at : table) {
            const auto [gl, gr] = gains[round++ % gains.size()];
            expectDefinition<T>(initial, at, n, gl, gr);
         }
         for (int i = 0; i < 200; ++i) {
            auto pick = [&] { return size_t(rng() % (2 * n + 9)); };
            const auto [gl, gr] = gains[round++ % gains.size()];
            expectDefinition<T>(initial, {pick(), pick(), pick(), pick()}, n, gl, gr);
         }
         if (HasFatalFailure()) return;
      }
   }
};

TEST_P(GainKernelExactness, FloatDisjointAndInPlace) {
   disjointAndInPlace<float>();
}
TEST_P(GainKernelExactness, DoubleDisjointAndInPlace) {
   disjointAndInPlace<double>();
}
TEST_P(GainKernelExactness, FloatOverlaps) {
   overlaps<float>();
}
TEST_P(GainKernelExactness, DoubleOverlaps) {
   overlaps<double>();
}

#if defined(__x86_64__) || defined(__i386__) || defined(__aarch64__)
// Denormals flushed to zero, in inputs and results, until destroyed: MXCSR's FTZ and DAZ bits on
// x86, FPCR's FZ bit on aarch64 (which covers both there).
class FlushDenormals {
public:
#if defined(__aarch64__)
   FlushDenormals() : saved(__builtin_aarch64_get_fpcr()) {
      __builtin_aarch64_set_fpcr(saved | (1u << 24));
   }
   ~FlushDenormals() {
      __builtin_aarch64_set_fpcr(saved);
   }
#else
   FlushDenormals() : saved(_mm_getcsr()) {
      _mm_setcsr(saved | 0x8000 | 0x0040);
   }
   ~FlushDenormals() {
      _mm_setcsr(saved);
   }
#endif
   FlushDenormals(const FlushDenormals&) = delete;
   FlushDenormals& operator=(const FlushDenormals&) = delete;

private:
   unsigned int saved;
};

// A host may run its audio thread with denormals flushed and another rounding mode: every kernel
// must round exactly as the scalar multiply does under the same control register.
TEST_P(GainKernelExactness, FollowsTheCallersRoundingAndFlushModes) {
   const int savedRounding = std::fegetround();
   for (int rounding : {FE_TOWARDZERO, FE_UPWARD}) {
      std::fesetround(rounding);
      FlushDenormals flush;
      for (size_t n = 0; n <= 70; ++n) {
         std::vector<double> d(2 * n + 40);
         std::vector<float> f(2 * n + 40);
         fill(d, uint32_t(n));
         fill(f, uint32_t(n));
         expectDefinition<double>(d, {1, n + 20, 1, n + 20}, n, 0.1f, 3e-300);
         expectDefinition<float>(f, {0, n + 20, 3, n + 23}, n, 0.1f, 3e-30f);
      }
   }
   std::fesetround(savedRounding);
}
#endif

INSTANTIATE_TEST_SUITE_P(EveryKernel, GainKernelExactness, ::testing::ValuesIn(kernelNames()),
                         [](const auto& info) { return info.param; });

} // namespace
