// SPDX-License-Identifier: MIT
// `plughost analyze`: measures what a plug-in does to sound (its linear response and latency,
// harmonic distortion, dynamics, aliasing, tail and noise, and its cost) and returns every number
// as one JSON document. The command line, Python and collection reports all run this.
#pragma once

#include "tools/hostlib/json.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace trimwise::host::analysis {

using plughost::Json;

// The version of the JSON document analyze() returns; raised when a key changes meaning.
constexpr int kSchema = 1;

// The measurements, in the order they run and appear; --what takes these names.
inline const std::vector<std::string> kMeasurements = {"linear",   "thd",  "dynamics",
                                                       "aliasing", "time", "cost"};

struct AnalysisOptions {
   std::vector<std::string> what; // names from kMeasurements; empty: all of them
   double sampleRate = 48000.0;
   int32_t blockSize = 512;
   int precision = 0; // 64 or 32; 0: 64 where the plug-in processes doubles, else 32
   std::vector<std::string> settings; // "PARAM=VALUE", set in order on every instance
   std::vector<unsigned char> state;  // restored on every instance before the settings
   bool sideChain = false;            // feed the stimulus to every input, not only the main pair
   double sweepLevelDbfs = -6.0;
   int smoothing = 0;             // 1/N-octave smoothing of the linear response; 0: none
   double tailCapSeconds = 30.0;  // the longest tail looked for
   double timeoutSeconds = 120.0; // per measurement, each in a child process
   bool isolated = true;          // false: measure in this process (tests, debugging)
};

// Called as each measurement starts ("linear", ...), for a progress line.
using AnalysisProgress = std::function<void(const std::string& measurement)>;

// Measures the plug-in at `path` as `options` say. Each measurement runs in a child process of
// its own, on fresh instances; one that crashes or hangs ends the document there, with the call
// in flight and the signal. Throws the host library's errors for what keeps every measurement
// from starting: a plug-in that cannot be loaded, a parameter that cannot be set, a sample rate
// it refuses.
Json analyze(const std::string& path, const AnalysisOptions& options,
             const AnalysisProgress& progress = {});

} // namespace trimwise::host::analysis
