// SPDX-License-Identifier: MIT
#include "effect/gain_kernels.h"

#include <atomic>
#include <cstdint>
#include <iterator>

#if defined(__x86_64__) || defined(__i386__)
#define TRIMWISE_X86_KERNELS 1
#include <immintrin.h>
#elif defined(__aarch64__)
#define TRIMWISE_NEON_KERNEL 1
#include <arm_neon.h>
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
void stereoPortable(const T* inL, const T* inR, T* outL, T* outR, size_t n, T gl, T gr) noexcept {
   if (inL == outL) {
      scaleInPlace(outL, n, gl);
   } else {
      scaleDisjoint(inL, outL, n, gl);
   }
   if (inR == outR) {
      scaleInPlace(outR, n, gr);
   } else {
      scaleDisjoint(inR, outR, n, gr);
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
// Both channels go through one loop: one call per block, and twice the independent streams.
// bench/kernel_asm.sh lists the multiply instructions and register widths of each kernel.

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

// Four vectors per channel and step, then one vector per channel, then what is left.

template <typename T>
__attribute__((target("sse2"))) void stereoSse2(const T* inL, const T* inR, T* outL, T* outR,
                                                size_t n, T gl, T gr) noexcept {
   constexpr size_t kLanes = 16 / sizeof(T);
   const auto vl = splat128(gl);
   const auto vr = splat128(gr);
   size_t i = 0;
   for (; i + 4 * kLanes <= n; i += 4 * kLanes) {
      for (size_t j = i; j < i + 4 * kLanes; j += kLanes) {
         scale128(inL + j, outL + j, vl);
         scale128(inR + j, outR + j, vr);
      }
   }
   for (; i + kLanes <= n; i += kLanes) {
      scale128(inL + i, outL + i, vl);
      scale128(inR + i, outR + i, vr);
   }
   for (; i < n; ++i) {
      scaleOne(inL + i, outL + i, vl);
      scaleOne(inR + i, outR + i, vr);
   }
}

template <typename T>
__attribute__((target("avx"))) void stereoAvx(const T* inL, const T* inR, T* outL, T* outR,
                                              size_t n, T gl, T gr) noexcept {
   constexpr size_t kLanes = 32 / sizeof(T);
   const auto vl = splat256(gl);
   const auto vr = splat256(gr);
   size_t i = 0;
   for (; i + 4 * kLanes <= n; i += 4 * kLanes) {
      for (size_t j = i; j < i + 4 * kLanes; j += kLanes) {
         scale256(inL + j, outL + j, vl);
         scale256(inR + j, outR + j, vr);
      }
   }
   for (; i + kLanes <= n; i += kLanes) {
      scale256(inL + i, outL + i, vl);
      scale256(inR + i, outR + i, vr);
   }
   const auto hl = splat128(gl);
   const auto hr = splat128(gr);
   if (i + kLanes / 2 <= n) {
      scale128(inL + i, outL + i, hl);
      scale128(inR + i, outR + i, hr);
      i += kLanes / 2;
   }
   for (; i < n; ++i) {
      scaleOne(inL + i, outL + i, hl);
      scaleOne(inR + i, outR + i, hr);
   }
}

template <typename T>
__attribute__((target("avx512f"))) void stereoAvx512(const T* inL, const T* inR, T* outL, T* outR,
                                                     size_t n, T gl, T gr) noexcept {
   constexpr size_t kLanes = 64 / sizeof(T);
   const auto vl = splat512(gl);
   const auto vr = splat512(gr);
   size_t i = 0;
   for (; i + 4 * kLanes <= n; i += 4 * kLanes) {
      for (size_t j = i; j < i + 4 * kLanes; j += kLanes) {
         scale512(inL + j, outL + j, vl);
         scale512(inR + j, outR + j, vr);
      }
   }
   for (; i + kLanes <= n; i += kLanes) {
      scale512(inL + i, outL + i, vl);
      scale512(inR + i, outR + i, vr);
   }
   if (i < n) {
      scaleTail512(inL + i, outL + i, n - i, vl);
      scaleTail512(inR + i, outR + i, n - i, vr);
   }
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

#if TRIMWISE_NEON_KERNEL
// --- aarch64 kernel
// Advanced SIMD is part of the aarch64 baseline, so this kernel runs everywhere the binary does
// and needs no selection. Its vector multiplies round, flush and produce NaNs under the caller's
// FPCR exactly as the scalar multiply of the definition does. Unaligned loads and stores, both
// channels in one loop, as the x86 kernels.

inline float32x4_t splatNeon(float g) {
   return vdupq_n_f32(g);
}
inline float64x2_t splatNeon(double g) {
   return vdupq_n_f64(g);
}
inline void scaleNeon(const float* in, float* out, float32x4_t g) {
   vst1q_f32(out, vmulq_f32(vld1q_f32(in), g));
}
inline void scaleNeon(const double* in, double* out, float64x2_t g) {
   vst1q_f64(out, vmulq_f64(vld1q_f64(in), g));
}

template <typename T>
void stereoNeon(const T* inL, const T* inR, T* outL, T* outR, size_t n, T gl, T gr) noexcept {
   constexpr size_t kLanes = 16 / sizeof(T);
   const auto vl = splatNeon(gl);
   const auto vr = splatNeon(gr);
   size_t i = 0;
   for (; i + 4 * kLanes <= n; i += 4 * kLanes) {
      for (size_t j = i; j < i + 4 * kLanes; j += kLanes) {
         scaleNeon(inL + j, outL + j, vl);
         scaleNeon(inR + j, outR + j, vr);
      }
   }
   for (; i + kLanes <= n; i += kLanes) {
      scaleNeon(inL + i, outL + i, vl);
      scaleNeon(inR + i, outR + i, vr);
   }
   for (; i < n; ++i) {
      outL[i] = inL[i] * gl;
      outR[i] = inR[i] * gr;
   }
}
#endif // TRIMWISE_NEON_KERNEL

// --- The table, widest first

constexpr GainKernel kKernels[] = {
#if TRIMWISE_X86_KERNELS
    {"avx512f", hasAvx512f, stereoAvx512<float>, stereoAvx512<double>},
    // 256-bit floating-point multiplies need AVX only, not AVX2.
    {"avx", hasAvx, stereoAvx<float>, stereoAvx<double>},
    {"sse2", hasSse2, stereoSse2<float>, stereoSse2<double>},
#endif
#if TRIMWISE_NEON_KERNEL
    {"neon", alwaysSupported, stereoNeon<float>, stereoNeon<double>},
#endif
    {"portable", alwaysSupported, stereoPortable<float>, stereoPortable<double>},
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

// True when [a, a + bytes) and [b, b + bytes) share a byte (bytes > 0). Pointers are compared
// as integers: ordering pointers into different objects is not defined otherwise. One
// subtraction and one unsigned comparison: the distance b - a, shifted by bytes - 1, lies below
// 2 * bytes - 1 exactly when -bytes < b - a < bytes.
inline bool overlap(const void* a, const void* b, uintptr_t bytes) {
   const uintptr_t d = reinterpret_cast<uintptr_t>(b) - reinterpret_cast<uintptr_t>(a);
   return d + (bytes - 1) < 2 * bytes - 1;
}

// Each output is its own input or shares no byte with it, and the two channels share no byte
// that either writes: then the channels can be processed in any order, each in any order.
template <typename T>
bool channelsIndependent(const T* inL, const T* inR, T* outL, T* outR, size_t n) {
   const uintptr_t bytes = n * sizeof(T);
   return (outL == inL || !overlap(outL, inL, bytes)) &&
          (outR == inR || !overlap(outR, inR, bytes)) && !overlap(outL, inR, bytes) &&
          !overlap(outR, inL, bytes) && !overlap(outL, outR, bytes);
}

// The definition itself: per frame, left then right, each input read before its output is
// written. Only reached when buffers are shared in another way (an output that partly overlaps
// its input, or a buffer one channel writes and the other reads or writes), which no host is
// known to do; the compiler still vectorizes it behind its own overlap checks.
template <typename T>
void frameByFrame(const T* inL, const T* inR, T* outL, T* outR, size_t n, T gl, T gr) {
   for (size_t i = 0; i < n; ++i) {
      outL[i] = inL[i] * gl;
      outR[i] = inR[i] * gr;
   }
}

template <typename T>
void stereo(const T* inL, const T* inR, T* outL, T* outR, size_t n, T gl, T gr) {
   if (n == 0) return;
   if (!channelsIndependent(inL, inR, outL, outR, n)) {
      frameByFrame(inL, inR, outL, outR, n, gl, gr);
      return;
   }
   const GainKernel& k = *activeKernel.load(std::memory_order_relaxed);
   if constexpr (sizeof(T) == sizeof(float)) {
      k.f32(inL, inR, outL, outR, n, gl, gr);
   } else {
      k.f64(inL, inR, outL, outR, n, gl, gr);
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
