// SPDX-License-Identifier: MIT
#include "tools/hostlib/analysis/dsp.h"

#include <fftw3.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>

namespace trimwise::host::analysis {

namespace {

// Plans are made per call with FFTW_ESTIMATE: no measuring runs, and the buffers are ours.
struct Plan {
   fftw_plan plan = nullptr;
   ~Plan() {
      if (plan) fftw_destroy_plan(plan);
   }
};

template <class T>
struct FftwBuffer {
   T* data;
   explicit FftwBuffer(size_t n) : data(static_cast<T*>(fftw_malloc(sizeof(T) * (n ? n : 1)))) {
      if (!data) throw std::bad_alloc();
   }
   ~FftwBuffer() { fftw_free(data); }
   FftwBuffer(const FftwBuffer&) = delete;
   FftwBuffer& operator=(const FftwBuffer&) = delete;
};

} // namespace

Spectrum realFft(std::span<const double> x, size_t n) {
   if (n == 0) n = x.size();
   if (n < x.size()) throw std::invalid_argument("realFft: shorter than the signal");
   FftwBuffer<double> in(n);
   FftwBuffer<fftw_complex> out(n / 2 + 1);
   Plan p;
   p.plan = fftw_plan_dft_r2c_1d(int(n), in.data, out.data, FFTW_ESTIMATE);
   std::copy(x.begin(), x.end(), in.data);
   std::fill(in.data + x.size(), in.data + n, 0.0);
   fftw_execute(p.plan);
   Spectrum s(n / 2 + 1);
   for (size_t k = 0; k < s.size(); ++k)
      s[k] = {out.data[k][0], out.data[k][1]};
   return s;
}

std::vector<double> inverseRealFft(std::span<const std::complex<double>> spectrum, size_t n) {
   if (spectrum.size() != n / 2 + 1) throw std::invalid_argument("inverseRealFft: bin count");
   FftwBuffer<fftw_complex> in(spectrum.size());
   FftwBuffer<double> out(n);
   Plan p;
   p.plan = fftw_plan_dft_c2r_1d(int(n), in.data, out.data, FFTW_ESTIMATE);
   for (size_t k = 0; k < spectrum.size(); ++k) {
      in.data[k][0] = spectrum[k].real();
      in.data[k][1] = spectrum[k].imag();
   }
   fftw_execute(p.plan); // destroys `in`, which is ours alone
   std::vector<double> x(out.data, out.data + n);
   for (auto& v : x)
      v /= double(n);
   return x;
}

double rms(std::span<const double> x) {
   if (x.empty()) return 0.0;
   long double sum = 0;
   for (double v : x)
      sum += static_cast<long double>(v) * v;
   return std::sqrt(double(sum / x.size()));
}

double amplitudeToDb(double ratio) {
   return ratio > 0 ? 20.0 * std::log10(ratio) : -std::numeric_limits<double>::infinity();
}

double rmsToDbfs(double r) {
   return amplitudeToDb(r * std::numbers::sqrt2);
}

double dbfsToPeak(double dbfs) {
   return std::pow(10.0, dbfs / 20.0);
}

double coherentFrequency(double target, double sampleRate, size_t frames) {
   double periods = std::round(target * double(frames) / sampleRate);
   if (std::fmod(periods, 2.0) == 0.0)
      periods += (periods * sampleRate / double(frames) < target) ? 1 : -1;
   if (periods < 1) periods = 1;
   return periods * sampleRate / double(frames);
}

std::vector<double> sine(double frequency, double amplitude, double sampleRate, size_t frames,
                         double phase) {
   std::vector<double> x(frames);
   const double w = 2.0 * std::numbers::pi * frequency / sampleRate;
   for (size_t i = 0; i < frames; ++i)
      x[i] = amplitude * std::sin(w * double(i) + phase);
   return x;
}

double toneAmplitude(std::span<const double> x, double frequency, double sampleRate) {
   // One DFT bin, summed in long double: the harmonics measured lie 150 dB and more below the
   // tone, where a double sum's rounding would show.
   const long double w = 2.0L * std::numbers::pi_v<long double> * frequency / sampleRate;
   long double re = 0, im = 0;
   for (size_t i = 0; i < x.size(); ++i) {
      const long double a = w * static_cast<long double>(i);
      re += x[i] * std::cos(a);
      im -= x[i] * std::sin(a);
   }
   return x.empty() ? 0.0 : double(2.0L * std::sqrt(re * re + im * im) / x.size());
}

std::vector<double> logFrequencies(double low, double high, int perOctave) {
   std::vector<double> f;
   for (int i = 0;; ++i) {
      const double v = low * std::pow(2.0, double(i) / perOctave);
      if (v > high * (1 + 1e-12)) break;
      f.push_back(v);
   }
   return f;
}

} // namespace trimwise::host::analysis
