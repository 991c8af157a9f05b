// SPDX-License-Identifier: MIT
// Stereo gain kernels: out = in * gain for every sample of both channels, bit-exact with the
// frame-by-frame definition. Called once per block from the audio thread: no allocation, no lock,
// no call per sample, no change of the floating-point environment.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace trimwise {

// Applies leftGain to the left channel and rightGain to the right one. Buffers may be identical
// (in place) or disjoint; any other overlap is processed frame by frame in the host's order
// (left sample, then right sample), so the result is always that of the definition.
void applyStereoGain(const float* inL, const float* inR, float* outL, float* outR, size_t frames,
                     float leftGain, float rightGain) noexcept;
void applyStereoGain(const double* inL, const double* inR, double* outL, double* outR,
                     size_t frames, double leftGain, double rightGain) noexcept;

// --- Kernel selection (internal: for tests and benchmarks; nothing here leaves the library)

// One implementation of the stereo loop outL[i] = inL[i] * gl, outR[i] = inR[i] * gr, for
// buffers where each output is its own input or shares no byte with it, and where neither
// channel writes a byte the other one reads or writes. Every kernel gives the same bits; they
// differ only in the vector unit they use.
struct GainKernel {
   const char* name;
   // True when this processor can run the kernel.
   bool (*supported)() noexcept;
   void (*f32)(const float* inL, const float* inR, float* outL, float* outR, size_t n, float gl,
               float gr) noexcept;
   void (*f64)(const double* inL, const double* inR, double* outL, double* outR, size_t n,
               double gl, double gr) noexcept;
};

// Every kernel this binary contains, widest vector unit first; the last one runs everywhere.
std::span<const GainKernel> gainKernels() noexcept;

// The kernel applyStereoGain uses. When the library is loaded it is the first supported entry of
// gainKernels().
const GainKernel& activeGainKernel() noexcept;

// Makes applyStereoGain use the named kernel; false (and no change) when the binary has no such
// kernel or this processor cannot run it. Not for the audio thread's hosts: tests and benchmarks
// call it between blocks.
bool forceGainKernel(std::string_view name) noexcept;

// Returns to the choice made at load time.
void selectWidestGainKernel() noexcept;

} // namespace trimwise
