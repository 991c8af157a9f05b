#include "effect/gain_kernels.h"

#include <cstdint>

namespace trimwise {
namespace {

template <typename T>
bool disjoint(const T* a, const T* b, size_t n) {
   // Compared as integers: ordering pointers into different objects is not defined otherwise.
   const auto pa = reinterpret_cast<uintptr_t>(a);
   const auto pb = reinterpret_cast<uintptr_t>(b);
   const uintptr_t bytes = n * sizeof(T);
   return pa + bytes <= pb || pb + bytes <= pa;
}

// Same buffer for input and output, or no shared bytes at all: channels can be processed one
// after the other, each as one vectorizable loop.
template <typename T>
bool channelsIndependent(const T* inL, const T* inR, T* outL, T* outR, size_t n) {
   return (outL == inL || disjoint<T>(outL, inL, n)) && (outR == inR || disjoint<T>(outR, inR, n)) &&
          disjoint<T>(outL, inR, n) && disjoint<T>(outR, inL, n) && disjoint<T>(outL, outR, n);
}

template <typename T>
void scale(const T* __restrict in, T* __restrict out, size_t n, T gain) {
   for (size_t i = 0; i < n; ++i) out[i] = in[i] * gain;
}

template <typename T>
void scaleInPlace(T* buf, size_t n, T gain) {
   for (size_t i = 0; i < n; ++i) buf[i] = buf[i] * gain;
}

template <typename T>
void scaleChannel(const T* in, T* out, size_t n, T gain) {
   if (in == out) {
      scaleInPlace(out, n, gain);
   } else {
      scale(in, out, n, gain);
   }
}

// The definition itself: per frame, left then right, each input read before its output is
// written.
template <typename T>
void frameByFrame(const T* inL, const T* inR, T* outL, T* outR, size_t n, T gl, T gr) {
   for (size_t i = 0; i < n; ++i) {
      outL[i] = inL[i] * gl;
      outR[i] = inR[i] * gr;
   }
}

template <typename T>
void stereo(const T* inL, const T* inR, T* outL, T* outR, size_t n, T gl, T gr) {
   if (channelsIndependent(inL, inR, outL, outR, n)) {
      scaleChannel(inL, outL, n, gl);
      scaleChannel(inR, outR, n, gr);
   } else {
      frameByFrame(inL, inR, outL, outR, n, gl, gr);
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

} // namespace trimwise
