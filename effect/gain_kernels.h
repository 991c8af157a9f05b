// Stereo gain kernels: out = in * gain for every sample of both channels, bit-exact with the
// frame-by-frame definition. Called once per block from the audio thread: no allocation, no lock,
// no call per sample, no change of the floating-point environment.
#pragma once

#include <cstddef>

namespace trimwise {

// Applies leftGain to the left channel and rightGain to the right one. Buffers may be identical
// (in place) or disjoint; any other overlap is processed frame by frame in the host's order
// (left sample, then right sample), so the result is always that of the definition.
void applyStereoGain(const float* inL, const float* inR, float* outL, float* outR, size_t frames,
                     float leftGain, float rightGain) noexcept;
void applyStereoGain(const double* inL, const double* inR, double* outL, double* outR,
                     size_t frames, double leftGain, double rightGain) noexcept;

} // namespace trimwise
