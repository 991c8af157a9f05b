// SPDX-License-Identifier: MIT
// Benchmarks of the built plug-in as a host drives it: both processing calls through the record
// at 64 to 65536 frames, in place and out of place, next to a plain memcpy of the same buffers and
// a plain per-frame loop that the compiler may not vectorize; then one command, instance creation
// plus close, and every kernel of this binary forced in turn. After the run a table of ratios
// from that same run is printed (the least CPU time of each benchmark over its repetitions:
// on a shared machine, time the thread spent descheduled is not the code's).
//
//   trimwise_bench [--plugin=PATH] [benchmark flags, e.g. --benchmark_repetitions=5]
#include "effect/gain_kernels.h"
#include <trimwise/framework/plugin_interface.h>

#include <benchmark/benchmark.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace {

constexpr int64_t kSizes[] = {64, 512, 4096, 65536};
// Gains of magnitude 1: in-place blocks are processed again and again, and smaller gains would
// decay the samples into denormals, which are slow on many processors and not what hosts send.
constexpr float kLeftGain = 1.0f;
constexpr float kRightGain = -1.0f;

std::string pluginPath = TRIMWISE_PLUGIN_PATH;

intptr_t hostCallback(AEffect*, int32_t opcode, int32_t, intptr_t, void*, float) {
   return opcode == audioMasterVersion ? kVstVersion : 0;
}

// The plug-in, loaded once and kept for the whole run.
AEffect* (*entry())(audioMasterCallback) {
   static void* library = dlopen(pluginPath.c_str(), RTLD_NOW | RTLD_LOCAL);
   if (library == nullptr) {
      std::fprintf(stderr, "trimwise_bench: cannot load %s: %s\n", pluginPath.c_str(), dlerror());
      std::exit(2);
   }
   return reinterpret_cast<AEffect* (*)(audioMasterCallback)>(dlsym(library, "VSTPluginMain"));
}

AEffect* openEffect(float leftGain, float rightGain) {
   AEffect* effect = entry()(hostCallback);
   if (effect == nullptr) {
      std::fprintf(stderr, "trimwise_bench: the plug-in returned no record\n");
      std::exit(2);
   }
   effect->dispatcher(effect, effOpen, 0, 0, nullptr, 0.0f);
   effect->setParameter(effect, 0, leftGain);
   effect->setParameter(effect, 1, rightGain);
   return effect;
}

void closeEffect(AEffect* effect) {
   effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
}

// Four separately allocated channels on 64-byte boundaries, as a host's buffers typically are.
template <typename T>
class StereoBuffers {
public:
   explicit StereoBuffers(size_t frames) : frames(frames) {
      std::mt19937 rng(1);
      std::uniform_real_distribution<T> sample(T(-1), T(1));
      for (T*& channel : channels) {
         channel = static_cast<T*>(::operator new(frames * sizeof(T), std::align_val_t(64)));
         for (size_t i = 0; i < frames; ++i)
            channel[i] = sample(rng);
      }
      in[0] = channels[0];
      in[1] = channels[1];
      out[0] = channels[2];
      out[1] = channels[3];
   }
   ~StereoBuffers() {
      for (T* channel : channels)
         ::operator delete(channel, std::align_val_t(64));
   }
   StereoBuffers(const StereoBuffers&) = delete;
   StereoBuffers& operator=(const StereoBuffers&) = delete;

   T** outputs(bool inPlace) { return inPlace ? in : out; }

   size_t frames;
   T* channels[4];
   T* in[2];
   T* out[2];
};

// The definition as a plain loop, kept scalar: the reference for what vectorizing gains.
template <typename T>
#if defined(__clang__)
__attribute__((noinline))
#else
__attribute__((noinline, optimize("no-tree-vectorize")))
#endif
void perFrameLoop(T** inputs, T** outputs, int32_t frames, T gl, T gr) {
   const T* inL = inputs[0];
   const T* inR = inputs[1];
   T* outL = outputs[0];
   T* outR = outputs[1];
#if defined(__clang__)
#pragma clang loop vectorize(disable) interleave(disable)
#endif
   for (int32_t i = 0; i < frames; ++i) {
      outL[i] = inL[i] * gl;
      outR[i] = inR[i] * gr;
   }
}

void setBytes(benchmark::State& state, size_t frames, size_t sampleSize) {
   // Bytes read plus bytes written, both channels.
   state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(4 * frames * sampleSize));
}

template <typename T>
void processThroughRecord(benchmark::State& state, bool inPlace) {
   AEffect* effect = openEffect(kLeftGain, kRightGain);
   StereoBuffers<T> buffers(size_t(state.range(0)));
   const auto frames = int32_t(state.range(0));
   T** outputs = buffers.outputs(inPlace);
   for (auto _ : state) {
      if constexpr (sizeof(T) == sizeof(float)) {
         effect->processReplacing(effect, buffers.in, outputs, frames);
      } else {
         effect->processDoubleReplacing(effect, buffers.in, outputs, frames);
      }
      benchmark::ClobberMemory();
   }
   setBytes(state, buffers.frames, sizeof(T));
   closeEffect(effect);
}

// The same input buffers copied to the same output buffers. Always out of place: memcpy onto
// itself is undefined, and an out-of-place copy touches more memory than in-place processing,
// so this baseline is the harder one for in-place processing.
// glibc copies 2112 bytes to 1 MiB with `rep movsb`, which on processors with fast string moves
// writes whole cache lines without reading them first; stores from vector registers must read
// each line before writing it. Out-of-place blocks larger than the first-level cache therefore
// cost more than this copy; GLIBC_TUNABLES=glibc.cpu.x86_rep_movsb_threshold=0xfffffffffff
// makes memcpy use its vector loop instead, for comparison.
template <typename T>
void copyChannels(benchmark::State& state) {
   StereoBuffers<T> buffers(size_t(state.range(0)));
   const size_t bytes = buffers.frames * sizeof(T);
   for (auto _ : state) {
      std::memcpy(buffers.out[0], buffers.in[0], bytes);
      std::memcpy(buffers.out[1], buffers.in[1], bytes);
      benchmark::ClobberMemory();
   }
   setBytes(state, buffers.frames, sizeof(T));
}

template <typename T>
void loopPerFrame(benchmark::State& state, bool inPlace) {
   StereoBuffers<T> buffers(size_t(state.range(0)));
   T** outputs = buffers.outputs(inPlace);
   // Opaque to the compiler, which would otherwise turn x * 1 into a copy and x * -1 into a
   // sign flip.
   T gl = T(kLeftGain), gr = T(kRightGain);
   benchmark::DoNotOptimize(gl);
   benchmark::DoNotOptimize(gr);
   for (auto _ : state) {
      perFrameLoop<T>(buffers.in, outputs, int32_t(state.range(0)), gl, gr);
      benchmark::ClobberMemory();
   }
   setBytes(state, buffers.frames, sizeof(T));
}

// One kernel of this binary, forced, called as the effect calls it (out of place).
template <typename T>
void forcedKernel(benchmark::State& state, const char* name) {
   trimwise::forceGainKernel(name);
   StereoBuffers<T> buffers(size_t(state.range(0)));
   T gl = T(kLeftGain), gr = T(kRightGain);
   benchmark::DoNotOptimize(gl);
   benchmark::DoNotOptimize(gr);
   for (auto _ : state) {
      trimwise::applyStereoGain(buffers.in[0], buffers.in[1], buffers.out[0], buffers.out[1],
                                buffers.frames, gl, gr);
      benchmark::ClobberMemory();
   }
   trimwise::selectWidestGainKernel();
   setBytes(state, buffers.frames, sizeof(T));
}

void getParamDisplay(benchmark::State& state) {
   AEffect* effect = openEffect(0.5f, 0.25f);
   char text[64];
   for (auto _ : state) {
      benchmark::DoNotOptimize(effect->dispatcher(effect, effGetParamDisplay, 0, 0, text, 0.0f));
      benchmark::ClobberMemory();
   }
   closeEffect(effect);
}

void createAndClose(benchmark::State& state) {
   auto* const create = entry();
   for (auto _ : state) {
      AEffect* effect = create(hostCallback);
      benchmark::DoNotOptimize(effect);
      effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
   }
}

// --- Registration and the ratio table

enum class Kind { process, memcpy, loop };

struct Key {
   Kind kind;
   int bits;
   bool inPlace;
   int64_t frames;
   bool operator<(const Key& o) const {
      return std::tie(kind, bits, inPlace, frames) < std::tie(o.kind, o.bits, o.inPlace, o.frames);
   }
};

std::map<std::string, Key> keyOfName;

template <typename F>
void add(const std::string& name, Key key, F&& f) {
   for (int64_t frames : kSizes) {
      key.frames = frames;
      keyOfName[name + "/" + std::to_string(frames)] = key;
   }
   benchmark::RegisterBenchmark(name.c_str(), std::forward<F>(f))
       ->Arg(kSizes[0])
       ->Arg(kSizes[1])
       ->Arg(kSizes[2])
       ->Arg(kSizes[3]);
}

void registerAll() {
   for (bool inPlace : {false, true}) {
      const std::string mode = inPlace ? "in_place" : "out_of_place";
      add("process_f32_" + mode, {Kind::process, 32, inPlace, 0},
          [inPlace](benchmark::State& s) { processThroughRecord<float>(s, inPlace); });
      add("process_f64_" + mode, {Kind::process, 64, inPlace, 0},
          [inPlace](benchmark::State& s) { processThroughRecord<double>(s, inPlace); });
      add("per_frame_loop_f32_" + mode, {Kind::loop, 32, inPlace, 0},
          [inPlace](benchmark::State& s) { loopPerFrame<float>(s, inPlace); });
      add("per_frame_loop_f64_" + mode, {Kind::loop, 64, inPlace, 0},
          [inPlace](benchmark::State& s) { loopPerFrame<double>(s, inPlace); });
   }
   add("memcpy_f32", {Kind::memcpy, 32, false, 0}, copyChannels<float>);
   add("memcpy_f64", {Kind::memcpy, 64, false, 0}, copyChannels<double>);
   benchmark::RegisterBenchmark("dispatcher_effGetParamDisplay", getParamDisplay);
   benchmark::RegisterBenchmark("create_and_close", createAndClose);
   for (const trimwise::GainKernel& k : trimwise::gainKernels()) {
      if (!k.supported()) continue;
      const char* name = k.name;
      benchmark::RegisterBenchmark((std::string("kernel_") + name + "_f32").c_str(),
                                   [name](benchmark::State& s) { forcedKernel<float>(s, name); })
          ->Arg(512)
          ->Arg(65536);
      benchmark::RegisterBenchmark((std::string("kernel_") + name + "_f64").c_str(),
                                   [name](benchmark::State& s) { forcedKernel<double>(s, name); })
          ->Arg(512)
          ->Arg(65536);
   }
}

// Passes every report on to the console and keeps, per process, memcpy and loop benchmark, the
// least CPU time per iteration over its repetitions; when only aggregates are reported
// (--benchmark_report_aggregates_only), their median instead.
class RatioReporter : public benchmark::ConsoleReporter {
public:
   void ReportRuns(const std::vector<Run>& runs) override {
      for (const Run& run : runs) {
         if (run.error_occurred) continue;
         const auto key = keyOfName.find(run.run_name.function_name + "/" + run.run_name.args);
         if (key == keyOfName.end()) continue;
         const double t = run.GetAdjustedCPUTime();
         if (run.run_type == Run::RT_Iteration) {
            auto [it, inserted] = least.try_emplace(key->second, t);
            if (!inserted && t < it->second) it->second = t;
         } else if (run.aggregate_name == "median") {
            median[key->second] = t;
         }
      }
      ConsoleReporter::ReportRuns(runs);
   }

   void printRatios() const {
      std::printf("\nRatios from this run (CPU time per iteration: the least over the repetitions "
                  "of each benchmark, or the median where only aggregates were reported)\n");
      std::printf(
          "goals: process/memcpy <= 1.25 at every size; loop/process >= 4 at 512 frames\n\n");
      std::printf("%-9s %-13s %-6s %15s %15s\n", "format", "buffers", "frames", "process/memcpy",
                  "loop/process");
      for (int bits : {32, 64}) {
         for (bool inPlace : {false, true}) {
            for (int64_t frames : kSizes) {
               const double process = time({Kind::process, bits, inPlace, frames});
               const double copy = time({Kind::memcpy, bits, false, frames});
               const double loop = time({Kind::loop, bits, inPlace, frames});
               std::printf("%-9s %-13s %-6lld %15.2f %15.2f\n", bits == 32 ? "float" : "double",
                           inPlace ? "in place" : "out of place", static_cast<long long>(frames),
                           process / copy, loop / process);
            }
         }
      }
   }

private:
   double time(const Key& key) const {
      if (const auto it = least.find(key); it != least.end()) return it->second;
      if (const auto it = median.find(key); it != median.end()) return it->second;
      return std::numeric_limits<double>::quiet_NaN();
   }
   std::map<Key, double> least;
   std::map<Key, double> median;
};

} // namespace

int main(int argc, char** argv) {
   // Our own flag first; Google Benchmark rejects what it does not know.
   std::vector<char*> args;
   for (int i = 0; i < argc; ++i) {
      const std::string_view arg = argv[i];
      if (arg.starts_with("--plugin=")) {
         pluginPath = std::string(arg.substr(9));
      } else {
         args.push_back(argv[i]);
      }
   }
   int count = int(args.size());
   benchmark::Initialize(&count, args.data());
   if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
   entry(); // fail early when the plug-in cannot be loaded
   std::printf("plug-in: %s\nkernel chosen for this processor: %s\n", pluginPath.c_str(),
               trimwise::activeGainKernel().name);
   registerAll();
   RatioReporter reporter;
   benchmark::RunSpecifiedBenchmarks(&reporter);
   reporter.printRatios();
   benchmark::Shutdown();
   return 0;
}
