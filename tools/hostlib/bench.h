// SPDX-License-Identifier: MIT
// How fast a plug-in processes, block size by block size, measured against a memcpy of the same
// buffers: the least work any host does with a block.
#pragma once

#include "tools/hostlib/plugin_instance.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace plughost {

// The sample rate the instance is told and the real-time factor is reckoned at.
inline constexpr double kBenchSampleRate = 48000.0;

struct BenchOptions {
   std::vector<int> precisions{32, 64};
   std::vector<int32_t> blockSizes{64, 512, 4096, 65536};
   double secondsPerRow = 0.25; // shared by the plug-in's and memcpy's repetitions
   int repetitions = 9;         // of each; the best one counts
};

struct BenchRow {
   int precision = 32;
   int32_t blockSize = 0;
   bool inPlace = false;
   double nsPerBlock = 0.0;       // the plug-in's processing call
   double memcpyNsPerBlock = 0.0; // copying every input channel to an output channel

   double ratio() const { return nsPerBlock / memcpyNsPerBlock; }
   // Seconds of audio at kBenchSampleRate processed per second of wall time.
   double realtimeFactor() const {
      return static_cast<double>(blockSize) / kBenchSampleRate / (nsPerBlock * 1e-9);
   }
};

// Measures every precision, block size and buffer layout (in place, then out of place), in that
// nesting, on a started instance opened at kBenchSampleRate. Before each block size the instance
// is switched off, told the block size and switched on again. Repetitions of the plug-in and of
// memcpy alternate, so that a busy machine slows both alike; each reports the fastest. Calls
// `onRow` as each row is done. The 64-bit rows need canProcessDouble().
std::vector<BenchRow> runBench(PluginInstance& instance, const BenchOptions& options,
                               const std::function<void(const BenchRow&)>& onRow = {});

} // namespace plughost
