// SPDX-License-Identifier: MIT
// The signal arithmetic the measurements share, in double precision: FFTs (FFTW), levels, and
// sines of coherent frequencies (a whole number of periods in the analysed block, so that a
// tone and its harmonics each fall on one bin and no window is needed).
#pragma once

#include <complex>
#include <cstddef>
#include <span>
#include <vector>

namespace trimwise::host::analysis {

using Spectrum = std::vector<std::complex<double>>;

// The spectrum of `x` zero-padded to `n` frames (n >= x.size(); 0: x.size()): n / 2 + 1 bins,
// unscaled (a sine of amplitude A on bin k gives |X[k]| = A n / 2).
Spectrum realFft(std::span<const double> x, size_t n = 0);
// The n real samples whose spectrum is `spectrum` (n / 2 + 1 bins), scaled so that
// inverseRealFft(realFft(x), x.size()) == x.
std::vector<double> inverseRealFft(std::span<const std::complex<double>> spectrum, size_t n);

double rms(std::span<const double> x);
// A level against full scale: 0 dBFS is a sine of peak 1.0, so an RMS of 1/sqrt(2).
// -infinity for silence.
double rmsToDbfs(double rms);
// The peak of a sine at `dbfs`.
double dbfsToPeak(double dbfs);
double amplitudeToDb(double ratio); // 20 log10, -infinity for 0

// The frequency nearest `target` that makes an odd number of whole periods in `frames` frames
// (so neither a sub-multiple of the rate nor of the block: every sample of a period differs).
double coherentFrequency(double target, double sampleRate, size_t frames);
// amplitude * sin(2 pi f t + phase), frames samples from t = 0.
std::vector<double> sine(double frequency, double amplitude, double sampleRate, size_t frames,
                         double phase = 0.0);
// The amplitude of the component of `x` at `frequency`, which must be coherent with x.size()
// frames (a single DFT bin, exact for coherent tones).
double toneAmplitude(std::span<const double> x, double frequency, double sampleRate);

// `count` frequencies spaced 1/`perOctave` octave from `low` up to at most `high`.
std::vector<double> logFrequencies(double low, double high, int perOctave);

} // namespace trimwise::host::analysis
