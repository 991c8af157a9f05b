// SPDX-License-Identifier: MIT
// The kernels and their run-time selection leave the floating-point environment alone: no
// control bit changes (rounding, flush modes, exception masks) when the plug-in is loaded and
// when it processes, and no exception flag is raised for samples that lie past the block.
// The built plug-in is loaded and driven through its record, as a host does.
#include "effect/gain_kernels.h"
#include "tests/host/host_double.h"
#include <trimwise/framework/plugin_interface.h>

#include <gtest/gtest.h>

#include <bit>
#include <cfenv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace {

// Every control bit of the floating-point units, without the sticky exception flags.
struct ControlState {
   int rounding = 0;
   unsigned int vector = 0; // x86 MXCSR, aarch64 FPCR
   unsigned short x87 = 0;
   bool operator==(const ControlState&) const = default;
};

ControlState controlState() {
   ControlState s;
   s.rounding = std::fegetround();
#if defined(__x86_64__) || defined(__i386__)
   constexpr unsigned int kStatusFlags = 0x3f;
   s.vector = _mm_getcsr() & ~kStatusFlags;
   __asm__ volatile("fnstcw %0" : "=m"(s.x87));
#elif defined(__aarch64__)
   s.vector = static_cast<unsigned int>(__builtin_aarch64_get_fpcr());
#endif
   return s;
}

// Sets a state no library would choose by itself, so that a kernel or initializer that resets
// the environment to its defaults is caught too.
class UnusualEnvironment {
public:
   UnusualEnvironment() {
      std::fegetenv(&saved);
      std::fesetround(FE_DOWNWARD);
#if defined(__x86_64__) || defined(__i386__)
      constexpr unsigned int kFlushToZero = 0x8000, kDenormalsAreZero = 0x0040;
      _mm_setcsr(_mm_getcsr() | kFlushToZero | kDenormalsAreZero);
#elif defined(__aarch64__)
      __builtin_aarch64_set_fpcr(__builtin_aarch64_get_fpcr() | (1u << 24)); // FZ
#endif
   }
   ~UnusualEnvironment() {
      std::fesetenv(&saved);
   }
   UnusualEnvironment(const UnusualEnvironment&) = delete;
   UnusualEnvironment& operator=(const UnusualEnvironment&) = delete;

private:
   std::fenv_t saved;
};

intptr_t versionHost(AEffect*, int32_t opcode, int32_t, intptr_t, void*, float) {
   return opcode == audioMasterVersion ? kVstVersion : 0;
}

TEST(GainKernelSelection, TheWidestSupportedKernelIsActiveAtStart) {
   const char* widest = nullptr;
   for (const trimwise::GainKernel& k : trimwise::gainKernels()) {
      if (k.supported()) {
         widest = k.name;
         break;
      }
   }
   ASSERT_NE(widest, nullptr);
   EXPECT_STREQ(trimwise::activeGainKernel().name, widest);
   EXPECT_STREQ(trimwise::gainKernels().back().name, "portable");
   EXPECT_TRUE(trimwise::gainKernels().back().supported());
}

TEST(GainKernelSelection, ForcingAnUnknownOrUnsupportedKernelChangesNothing) {
   const char* before = trimwise::activeGainKernel().name;
   EXPECT_FALSE(trimwise::forceGainKernel("no such kernel"));
   EXPECT_FALSE(trimwise::forceGainKernel(""));
   for (const trimwise::GainKernel& k : trimwise::gainKernels()) {
      if (!k.supported()) {
         EXPECT_FALSE(trimwise::forceGainKernel(k.name)) << k.name;
      }
   }
   EXPECT_STREQ(trimwise::activeGainKernel().name, before);
}

TEST(GainKernelEnvironment, ProcessingKeepsTheControlStateWithEveryKernel) {
   UnusualEnvironment unusual;
   const ControlState before = controlState();
   std::vector<float> f(1003, 0.75f);
   std::vector<double> d(1003, -0.75);
   for (const trimwise::GainKernel& k : trimwise::gainKernels()) {
      if (!trimwise::forceGainKernel(k.name)) continue;
      for (size_t n : {1, 7, 64, 1003}) {
         trimwise::applyStereoGain(f.data(), f.data() + 1, f.data() + 2, f.data() + 2, n / 2, 0.5f,
                                   2.0f); // overlapping: the frame-by-frame path
         trimwise::applyStereoGain(f.data(), f.data(), f.data(), f.data(), n, 0.5f, 2.0f);
         trimwise::applyStereoGain(d.data(), d.data(), d.data(), d.data(), n, 0.5, 2.0);
      }
      EXPECT_EQ(controlState(), before) << k.name;
   }
   trimwise::selectWidestGainKernel();
}

// Bug guarded against: a vector tail that multiplies lanes past the end of the block (zeros
// there times an infinite gain) raises the invalid-operation flag, which traps in a host that
// unmasks it.
TEST(GainKernelEnvironment, NoExceptionFlagFromSamplesPastTheBlock) {
   const float inf = std::numeric_limits<float>::infinity();
   for (const trimwise::GainKernel& k : trimwise::gainKernels()) {
      if (!k.supported()) continue;
      for (size_t n = 1; n <= 70; ++n) {
         std::vector<float> l(n, 1.0f), r(n, 1.0f), out(n);
         std::vector<double> dl(n, 1.0), dr(n, 1.0);
         std::feclearexcept(FE_ALL_EXCEPT);
         k.f32(l.data(), r.data(), out.data(), r.data(), n, inf, 0.5f);
         k.f64(dl.data(), dr.data(), dl.data(), dr.data(), n, -double(inf), double(inf));
         EXPECT_EQ(std::fetestexcept(FE_ALL_EXCEPT), 0) << k.name << " at " << n << " frames";
      }
   }
}

// The shipped library makes its own choice while it is loaded; a host's environment must come
// out of loading, instance creation and processing as it went in.
TEST(GainKernelEnvironment, LoadingAndProcessingThePluginKeepTheControlState) {
   UnusualEnvironment unusual;
   const ControlState before = controlState();
   auto library = std::make_unique<hostdouble::PluginLibrary>(TRIMWISE_PLUGIN_PATH);
   ASSERT_TRUE(library->loaded()) << library->error();
   EXPECT_EQ(controlState(), before) << "after loading";

   hostdouble::EntryProc entry = library->entry();
   ASSERT_NE(entry, nullptr);
   AEffect* effect = entry(versionHost);
   ASSERT_NE(effect, nullptr);
   effect->setParameter(effect, 0, 0.5f);
   effect->setParameter(effect, 1, 0.1f);

   // In place and out of place, every size up to a few vectors: the library's own kernel gives
   // exactly input x gain.
   for (int32_t n = 0; n <= 70; ++n) {
      std::vector<float> l(size_t(n) + 1), r(size_t(n) + 1), outL(l.size(), -9.0f),
          outR(l.size(), -9.0f);
      std::vector<double> dl(l.size()), dr(l.size());
      for (int32_t i = 0; i < n; ++i) {
         l[size_t(i)] = float(i) * 0.37f - 11.0f;
         r[size_t(i)] = float(n - i) * 1.3e-3f;
         dl[size_t(i)] = double(i) * 0.37 - 11.0;
         dr[size_t(i)] = double(n - i) * 1.3e-3;
      }
      const std::vector<float> l0 = l, r0 = r;
      const std::vector<double> dl0 = dl, dr0 = dr;
      float* in[2] = {l.data(), r.data()};
      float* out[2] = {outL.data(), outR.data()};
      effect->processReplacing(effect, in, out, n);
      effect->processReplacing(effect, in, in, n);
      double* din[2] = {dl.data(), dr.data()};
      effect->processDoubleReplacing(effect, din, din, n);
      for (size_t i = 0; i < size_t(n); ++i) {
         ASSERT_EQ(std::bit_cast<uint32_t>(outL[i]), std::bit_cast<uint32_t>(l0[i] * 0.5f));
         ASSERT_EQ(std::bit_cast<uint32_t>(outR[i]), std::bit_cast<uint32_t>(r0[i] * 0.1f));
         ASSERT_EQ(std::bit_cast<uint32_t>(l[i]), std::bit_cast<uint32_t>(l0[i] * 0.5f));
         ASSERT_EQ(std::bit_cast<uint32_t>(r[i]), std::bit_cast<uint32_t>(r0[i] * 0.1f));
         ASSERT_EQ(std::bit_cast<uint64_t>(dl[i]), std::bit_cast<uint64_t>(dl0[i] * 0.5));
         ASSERT_EQ(std::bit_cast<uint64_t>(dr[i]), std::bit_cast<uint64_t>(dr0[i] * double(0.1f)));
      }
      EXPECT_EQ(outL[size_t(n)], -9.0f) << "guard sample after " << n << " frames";
      EXPECT_EQ(outR[size_t(n)], -9.0f) << "guard sample after " << n << " frames";
   }
   EXPECT_EQ(controlState(), before) << "after processing";

   effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
   library.reset();
}

} // namespace
