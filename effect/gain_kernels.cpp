#include "effect/gain_kernels.h"

#include <atomic>
#include <cstdint>
#include <iterator>

#if defined(__x86_64__) || defined(__i386__)
#define TRIMWISE_X86_KERNELS 1
#include <immintrin.h>
#endif

namespace trimwise {
namespace {

// --- Portable kernel: plain loops the compiler vectorizes for the baseline of the target

template <typename T>
void scaleDisjoint(const T* __restrict in, T* __restrict out, size_t n, T gain) {
   for (size_t i = 0; i < n; ++i)
      out[i] = in[i] * gain;
}

template <typename T>
void scaleInPlace(T* buf, size_t n, T gain) {
   for (size_t i = 0; i < n; ++i)
      buf[i] = buf[i] * gain;
}

template <typename T>
void scalePortable(const T* in, T* out, size_t n, T gain) noexcept {
   if (in == out) {
      scaleInPlace(out, n, gain);
   } else {
      scaleDisjoint(in, out, n, gain);
   }
}

bool alwaysSupported() noexcept {
   return true;
}

#if TRIMWISE_X86_KERNELS
// --- x86 kernels
// Each is compiled for its instruction set with a target attribute while the rest of the library
// keeps the baseline, so one binary runs everywhere and uses what the processor has. All use
// unaligned loads and stores: hosts give no alignment guarantee. Only the multiply instruction
// touches the samples, and it rounds under the caller's MXCSR like the scalar definition does.

#define TRIMWISE_SSE2 __attribute__((target("sse2"), always_inline)) inline
#define TRIMWISE_AVX __attribute__((target("avx"), always_inline)) inline
#define TRIMWISE_AVX512 __attribute__((target("avx512f"), always_inline)) inline

TRIMWISE_SSE2 __m128 splat128(float g) {
   return _mm_set1_ps(g);
}
TRIMWISE_SSE2 __m128d splat128(double g) {
   return _mm_set1_pd(g);
}
TRIMWISE_SSE2 void scale128(const float* in, float* out, __m128 g) {
   _mm_storeu_ps(out, _mm_mul_ps(_mm_loadu_ps(in), g));
}
TRIMWISE_SSE2 void scale128(const double* in, double* out, __m128d g) {
   _mm_storeu_pd(out, _mm_mul_pd(_mm_loadu_pd(in), g));
}
// One sample in the vector unit too: on a 32-bit target plain code could use the x87 unit, which
// rounds double products twice.
TRIMWISE_SSE2 void scaleOne(const float* in, float* out, __m128 g) {
   _mm_store_ss(out, _mm_mul_ss(_mm_load_ss(in), g));
}
TRIMWISE_SSE2 void scaleOne(const double* in, double* out, __m128d g) {
   _mm_store_sd(out, _mm_mul_sd(_mm_load_sd(in), g));
}

TRIMWISE_AVX __m256 splat256(float g) {
   return _mm256_set1_ps(g);
}
TRIMWISE_AVX __m256d splat256(double g) {
   return _mm256_set1_pd(g);
}
TRIMWISE_AVX void scale256(const float* in, float* out, __m256 g) {
   _mm256_storeu_ps(out, _mm256_mul_ps(_mm256_loadu_ps(in), g));
}
TRIMWISE_AVX void scale256(const double* in, double* out, __m256d g) {
   _mm256_storeu_pd(out, _mm256_mul_pd(_mm256_loadu_pd(in), g));
}

TRIMWISE_AVX512 __m512 splat512(float g) {
   return _mm512_set1_ps(g);
}
TRIMWISE_AVX512 __m512d splat512(double g) {
   return _mm512_set1_pd(g);
}
TRIMWISE_AVX512 void scale512(const float* in, float* out, __m512 g) {
   _mm512_storeu_ps(out, _mm512_mul_ps(_mm512_loadu_ps(in), g));
}
TRIMWISE_AVX512 void scale512(const double* in, double* out, __m512d g) {
   _mm512_storeu_pd(out, _mm512_mul_pd(_mm512_loadu_pd(in), g));
}
// The last r < 16 (or 8) samples in one masked step. Lanes past the end are neither read, written
// nor multiplied, so they raise no floating-point exception flag either.
TRIMWISE_AVX512 void scaleTail512(const float* in, float* out, size_t r, __m512 g) {
   const auto m = static_cast<__mmask16>((1u << r) - 1u);
   _mm512_mask_storeu_ps(out, m, _mm512_maskz_mul_ps(m, _mm512_maskz_loadu_ps(m, in), g));
}
TRIMWISE_AVX512 void scaleTail512(const double* in, double* out, size_t r, __m512d g) {
   const auto m = static_cast<__mmask8>((1u << r) - 1u);
   _mm512_mask_storeu_pd(out, m, _mm512_maskz_mul_pd(m, _mm512_maskz_loadu_pd(m, in), g));
}

// Four vectors per step keep several loads in flight; then single vectors, then what is left.

template <typename T>
__attribute__((target("sse2"))) void scaleSse2(const T* in, T* out, size_t n, T gain) noexcept {
   constexpr size_t kLanes = 16 / sizeof(T);
   const auto g = splat128(gain);
   size_t i = 0;
   for (; i + 4 * kLanes <= n; i += 4 * kLanes) {
      scale128(in + i, out + i, g);
      scale128(in + i + kLanes, out + i + kLanes, g);
      scale128(in + i + 2 * kLanes, out + i + 2 * kLanes, g);
      scale128(in + i + 3 * kLanes, out + i + 3 * kLanes, g);
   }
   for (; i + kLanes <= n; i += kLanes)
      scale128(in + i, out + i, g);
   for (; i < n; ++i)
      scaleOne(in + i, out + i, g);
}

template <typename T>
__attribute__((target("avx"))) void scaleAvx(const T* in, T* out, size_t n, T gain) noexcept {
   constexpr size_t kLanes = 32 / sizeof(T);
   const auto g = splat256(gain);
   size_t i = 0;
   for (; i + 4 * kLanes <= n; i += 4 * kLanes) {
      scale256(in + i, out + i, g);
      scale256(in + i + kLanes, out + i + kLanes, g);
      scale256(in + i + 2 * kLanes, out + i + 2 * kLanes, g);
      scale256(in + i + 3 * kLanes, out + i + 3 * kLanes, g);
   }
   for (; i + kLanes <= n; i += kLanes)
      scale256(in + i, out + i, g);
   const auto g128 = splat128(gain);
   if (i + kLanes / 2 <= n) {
      scale128(in + i, out + i, g128);
      i += kLanes / 2;
   }
   for (; i < n; ++i)
      scaleOne(in + i, out + i, g128);
}

template <typename T>
__attribute__((target("avx512f"))) void scaleAvx512(const T* in, T* out, size_t n,
                                                    T gain) noexcept {
   constexpr size_t kLanes = 64 / sizeof(T);
   const auto g = splat512(gain);
   size_t i = 0;
   for (; i + 4 * kLanes <= n; i += 4 * kLanes) {
      scale512(in + i, out + i, g);
      scale512(in + i + kLanes, out + i + kLanes, g);
      scale512(in + i + 2 * kLanes, out + i + 2 * kLanes, g);
      scale512(in + i + 3 * kLanes, out + i + 3 * kLanes, g);
   }
   for (; i + kLanes <= n; i += kLanes)
      scale512(in + i, out + i, g);
   if (i < n) scaleTail512(in + i, out + i, n - i, g);
}

// __builtin_cpu_supports also checks that the system saves the wide registers (XCR0), so a
// kernel is only chosen where it can run. The explicit init makes the answers valid even when
// asked from a static initializer that runs before the run-time library's own.
bool hasSse2() noexcept {
   __builtin_cpu_init();
   return __builtin_cpu_supports("sse2");
}
bool hasAvx() noexcept {
   __builtin_cpu_init();
   return __builtin_cpu_supports("avx");
}
bool hasAvx512f() noexcept {
   __builtin_cpu_init();
   return __builtin_cpu_supports("avx512f");
}
#endif // TRIMWISE_X86_KERNELS

// --- The table, widest first

constexpr GainKernel kKernels[] = {
#if TRIMWISE_X86_KERNELS
    {"avx512f", hasAvx512f, scaleAvx512<float>, scaleAvx512<double>},
    // 256-bit floating-point multiplies need AVX only, not AVX2.
    {"avx", hasAvx, scaleAvx<float>, scaleAvx<double>},
    {"sse2", hasSse2, scaleSse2<float>, scaleSse2<double>},
#endif
    {"portable", alwaysSupported, scalePortable<float>, scalePortable<double>},
};
constexpr const GainKernel* kPortable = &kKernels[std::size(kKernels) - 1];

// Constant-initialized, so it is valid before any code of the library runs; relaxed loads cost a
// plain move on the audio thread.
constinit std::atomic<const GainKernel*> activeKernel{kPortable};

const GainKernel* widestSupported() noexcept {
   for (const GainKernel& k : kKernels) {
      if (k.supported()) return &k;
   }
   return kPortable;
}

// Chosen once while the library is loaded, before a host can reach any instance; reads the
// processor's identification only (no allocation, no floating-point state). Static initializers
// that might process earlier would get the portable kernel, which gives the same bits.
[[maybe_unused]] const bool kernelSelected = (selectWidestGainKernel(), true);

// --- Stereo processing

template <typename T>
bool disjoint(const T* a, const T* b, size_t n) {
   // Compared as integers: ordering pointers into different objects is not defined otherwise.
   const auto pa = reinterpret_cast<uintptr_t>(a);
   const auto pb = reinterpret_cast<uintptr_t>(b);
   const uintptr_t bytes = n * sizeof(T);
   return pa + bytes <= pb || pb + bytes <= pa;
}

// Same buffer for input and output, or no shared bytes at all: channels can be processed one
// after the other, each by one kernel call.
template <typename T>
bool channelsIndependent(const T* inL, const T* inR, T* outL, T* outR, size_t n) {
   return (outL == inL || disjoint<T>(outL, inL, n)) &&
          (outR == inR || disjoint<T>(outR, inR, n)) && disjoint<T>(outL, inR, n) &&
          disjoint<T>(outR, inL, n) && disjoint<T>(outL, outR, n);
}

// The definition itself: per frame, left then right, each input read before its output is
// written. Only reached for partial overlaps, which no host is known to pass.
template <typename T>
void frameByFrame(const T* inL, const T* inR, T* outL, T* outR, size_t n, T gl, T gr) {
   for (size_t i = 0; i < n; ++i) {
      outL[i] = inL[i] * gl;
      outR[i] = inR[i] * gr;
   }
}

template <typename T>
void stereo(const T* inL, const T* inR, T* outL, T* outR, size_t n, T gl, T gr) {
   if (!channelsIndependent(inL, inR, outL, outR, n)) {
      frameByFrame(inL, inR, outL, outR, n, gl, gr);
      return;
   }
   const GainKernel& k = *activeKernel.load(std::memory_order_relaxed);
   if constexpr (sizeof(T) == sizeof(float)) {
      k.f32(inL, outL, n, gl);
      k.f32(inR, outR, n, gr);
   } else {
      k.f64(inL, outL, n, gl);
      k.f64(inR, outR, n, gr);
   }
}

} // namespace

void applyStereoGain(const float* inL, const float* inR, float* outL, float* outR, size_t frames,
                     float leftGain, float rightGain) noexcept {
   stereo(inL, inR, outL, outR, frames, leftGain, rightGain);
}

void applyStereoGain(const double* inL, const double* inR, double* outL, double* outR,
                     size_t frames, double leftGain, double rightGain) noexcept {
   stereo(inL, inR, outL, outR, frames, leftGain, rightGain);
}

std::span<const GainKernel> gainKernels() noexcept {
   return kKernels;
}

const GainKernel& activeGainKernel() noexcept {
   return *activeKernel.load(std::memory_order_relaxed);
}

bool forceGainKernel(std::string_view name) noexcept {
   for (const GainKernel& k : kKernels) {
      if (name == k.name) {
         if (!k.supported()) return false;
         activeKernel.store(&k, std::memory_order_relaxed);
         return true;
      }
   }
   return false;
}

void selectWidestGainKernel() noexcept {
   activeKernel.store(widestSupported(), std::memory_order_relaxed);
}

} // namespace trimwise
