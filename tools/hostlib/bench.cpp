// SPDX-License-Identifier: MIT
#include "tools/hostlib/bench.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>

namespace plughost {
namespace {

using Clock = std::chrono::steady_clock;

// Keeps the compiler from dropping stores the program itself never reads back.
inline void keep(void* p) {
   __asm__ __volatile__("" : : "r"(p) : "memory");
}

template <class Work>
double timeBatch(Work& work, size_t count) {
   const auto start = Clock::now();
   for (size_t i = 0; i < count; ++i)
      work();
   return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
}

// How many calls make a batch of about `targetNs`, from doubling batches until one takes a
// quarter of that (which also warms caches and branch predictors).
template <class Work>
size_t batchSize(Work& work, double targetNs) {
   for (size_t count = 1;; count *= 2) {
      const double ns = timeBatch(work, count);
      if (ns >= targetNs / 4 || count >= (size_t{1} << 30)) {
         return std::max<size_t>(
             1, static_cast<size_t>(static_cast<double>(count) * targetNs / std::max(ns, 1.0)));
      }
   }
}

template <class Sample>
struct Buffers {
   std::vector<std::vector<Sample>> signal, in, out;
   std::vector<Sample*> inPointers, outPointers;

   Buffers(size_t inputs, size_t outputs, size_t frames, bool inPlace)
       : signal(inputs, std::vector<Sample>(frames)), in(signal),
         out(outputs, std::vector<Sample>(frames)) {
      for (size_t c = 0; c < inputs; ++c) {
         const double hz = 440.0 * std::pow(1.5, static_cast<double>(c));
         for (size_t i = 0; i < frames; ++i) {
            signal[c][i] =
                static_cast<Sample>(0.5 * std::sin(2.0 * std::numbers::pi * hz *
                                                   static_cast<double>(i) / kBenchSampleRate));
         }
      }
      in = signal;
      // The arrays are never empty, so an instance without inputs or outputs still gets a
      // valid address.
      inPointers.assign(std::max<size_t>(inputs, 1), nullptr);
      outPointers.assign(std::max<size_t>(outputs, 1), nullptr);
      for (size_t c = 0; c < inputs; ++c)
         inPointers[c] = in[c].data();
      for (size_t c = 0; c < outputs; ++c)
         outPointers[c] = inPlace && c < inputs ? in[c].data() : out[c].data();
   }

   // In place, each run works on what the last one left; start each repetition afresh.
   void refill() {
      for (size_t c = 0; c < in.size(); ++c)
         std::copy(signal[c].begin(), signal[c].end(), in[c].begin());
   }
};

template <class Sample>
BenchRow measure(PluginInstance& p, int32_t blockSize, bool inPlace, const BenchOptions& options) {
   const auto inputs = static_cast<size_t>(std::max(p.record().numInputs, 0));
   const auto outputs = static_cast<size_t>(std::max(p.record().numOutputs, 0));
   const auto frames = static_cast<size_t>(blockSize);
   Buffers<Sample> b(inputs, outputs, frames, inPlace);
   // memcpy fills the buffers the plug-in writes, from those it reads; in place from the
   // unchanging signal, so that it moves as many bytes as out of place.
   auto copy = [&] {
      for (size_t c = 0; c < outputs; ++c) {
         Sample* to = b.outPointers[c];
         if (inputs > 0) {
            const auto& from = inPlace ? b.signal[c % inputs] : b.in[c % inputs];
            std::memcpy(to, from.data(), frames * sizeof(Sample));
         } else {
            std::memset(to, 0, frames * sizeof(Sample));
         }
         keep(to);
      }
   };
   auto process = [&] { p.process(b.inPointers.data(), b.outPointers.data(), blockSize); };

   const int repetitions = std::max(options.repetitions, 1);
   const double targetNs = options.secondsPerRow * 1e9 / (2.0 * repetitions);
   const size_t processCount = batchSize(process, targetNs);
   const size_t copyCount = batchSize(copy, targetNs);
   BenchRow row;
   row.precision = static_cast<int>(sizeof(Sample) * 8);
   row.blockSize = blockSize;
   row.inPlace = inPlace;
   row.nsPerBlock = row.memcpyNsPerBlock = std::numeric_limits<double>::infinity();
   for (int r = 0; r < repetitions; ++r) {
      b.refill();
      row.nsPerBlock = std::min(row.nsPerBlock, timeBatch(process, processCount) /
                                                    static_cast<double>(processCount));
      row.memcpyNsPerBlock = std::min(row.memcpyNsPerBlock,
                                      timeBatch(copy, copyCount) / static_cast<double>(copyCount));
   }
   return row;
}

} // namespace

std::vector<BenchRow> runBench(PluginInstance& p, const BenchOptions& options,
                               const std::function<void(const BenchRow&)>& onRow) {
   std::vector<BenchRow> rows;
   for (const int precision : options.precisions) {
      for (const int32_t blockSize : options.blockSizes) {
         if (p.running()) p.stop();
         p.dispatch(effSetBlockSize, 0, blockSize);
         p.start();
         for (const bool inPlace : {true, false}) {
            rows.push_back(precision == 64 ? measure<double>(p, blockSize, inPlace, options)
                                           : measure<float>(p, blockSize, inPlace, options));
            if (onRow) onRow(rows.back());
         }
      }
   }
   if (p.running()) p.stop();
   return rows;
}

} // namespace plughost
