// Processing: every block size at every sample rate, both precisions, in place and out of place,
// with guarded buffers and known gains; and what denormal input costs.
#include "tools/hostlib/plugin_instance.h"
#include "tools/validate/check.h"
#include "tools/validate/host_support.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

namespace plughost::validate {
namespace {

constexpr int32_t kBlockSizes[] = {0,   1,   2,   3,   7,    10,   17,   31,   64,   127,
                                   128, 256, 511, 512, 1024, 1536, 2027, 4096, 8192, 16384};
constexpr float kSampleRates[] = {8000.0f,  22050.0f,  44100.0f,  48000.0f,  88200.0f,
                                  96000.0f, 192000.0f, 768000.0f, 1234.5678f};
// Pairs of gains, exact and inexact in binary, unity and silence on either side.
constexpr float kGains[][2] = {{1.0f, 1.0f}, {0.5f, 0.25f}, {0.1f, 0.9f},     {0.0f, 1.0f},
                               {1.0f, 0.0f}, {0.75f, 0.3f}, {0.001f, 0.7071f}};

struct GridPoint {
   float sampleRate;
   int32_t frames;
   const float* gains;
};

// Reconfigures the stopped instance as a host does before it starts processing again.
template <class Instance>
void configure(Instance& instance, const GridPoint& point) {
   instance.stop();
   instance.dispatch(effSetSampleRate, 0, 0, nullptr, point.sampleRate);
   instance.dispatch(effSetBlockSize, 0, std::max<int32_t>(point.frames, 1));
   if (gainModelApplies(instance.record())) {
      instance.setParameter(0, point.gains[0]);
      instance.setParameter(1, point.gains[1]);
   }
   instance.start();
}

std::string where(const GridPoint& p, const char* precision) {
   return format("%s, %d frames at %g Hz, gains %g/%g", precision, p.frames, double(p.sampleRate),
                 double(p.gains[0]), double(p.gains[1]));
}

template <class Visit>
void forEachGridPoint(Visit visit) {
   size_t n = 0;
   for (float rate : kSampleRates) {
      for (int32_t frames : kBlockSizes) {
         visit(GridPoint{rate, frames, kGains[n++ % std::size(kGains)]});
      }
   }
}

template <class T>
const char* precisionName() {
   return sizeof(T) == 4 ? "32-bit" : "64-bit";
}

template <class T>
void outOfPlaceGrid(PluginInstance& instance, Random& random, Findings& findings) {
   forEachGridPoint([&](const GridPoint& p) {
      configure(instance, p);
      const std::string problem = processAndCheck<T>(instance, size_t(p.frames), random, p.gains);
      if (!problem.empty()) {
         findings.fail(where(p, precisionName<T>()) + ": " + problem);
      }
   });
}

CheckResult outOfPlace(const CheckContext& context) {
   auto module = loadPlugin(context);
   PluginInstance instance(module);
   Random random(context.seed);
   Findings findings;
   instance.start();
   outOfPlaceGrid<float>(instance, random, findings);
   if (instance.canProcessDouble()) outOfPlaceGrid<double>(instance, random, findings);
   const bool model = gainModelApplies(instance.record());
   return findings.result(format("%zu block sizes x %zu sample rates x %s%s",
                                 std::size(kBlockSizes), std::size(kSampleRates),
                                 instance.canProcessDouble() ? "32/64-bit" : "32-bit",
                                 model ? ", output = input x gain to the bit" : ""));
}

template <class T>
void inPlaceGrid(PluginInstance& instance, Random& random, Findings& findings) {
   const AEffect& r = instance.record();
   const int32_t shared = std::min(r.numInputs, r.numOutputs);
   forEachGridPoint([&](const GridPoint& p) {
      configure(instance, p);
      const size_t frames = size_t(p.frames);
      // The reference: the same input processed into separate buffers.
      GuardedChannels<T> in(r.numInputs, frames), out(r.numOutputs, frames);
      in.fillRandom(random);
      out.fillSentinel();
      instance.process(in.pointers(), out.pointers(), p.frames);
      // In place: each output pointer is its input's; extra outputs get their own buffers.
      GuardedChannels<T> buffer = in;
      GuardedChannels<T> outputs(r.numOutputs, frames);
      outputs.fillSentinel();
      std::vector<T*> outPointers = outputs.channelPointers();
      for (int32_t c = 0; c < shared; ++c)
         outPointers[size_t(c)] = buffer.channel(c);
      outputs.pointAt(outPointers);
      instance.process(buffer.pointers(), outputs.pointers(), p.frames);
      std::string problem = buffer.damage("in-place");
      if (problem.empty()) problem = outputs.damage("output");
      for (int32_t c = 0; c < shared && problem.empty(); ++c) {
         for (size_t i = 0; i < frames; ++i) {
            if (!sameBits(buffer.channel(c)[i], out.channel(c)[i])) {
               problem = format("channel %d frame %zu: %.17g in place, %.17g into separate "
                                "buffers",
                                c, i, double(buffer.channel(c)[i]), double(out.channel(c)[i]));
               break;
            }
         }
      }
      if (problem.empty() && gainModelApplies(r)) {
         problem = gainMismatch(in, buffer, frames, p.gains);
      }
      if (!problem.empty()) findings.fail(where(p, precisionName<T>()) + ": " + problem);
   });
}

CheckResult inPlace(const CheckContext& context) {
   auto module = loadPlugin(context);
   PluginInstance instance(module);
   Random random(context.seed + 1);
   Findings findings;
   instance.start();
   inPlaceGrid<float>(instance, random, findings);
   if (instance.canProcessDouble()) inPlaceGrid<double>(instance, random, findings);
   return findings.result(format("%zu block sizes x %zu sample rates x %s give the same samples "
                                 "in place as into separate buffers",
                                 std::size(kBlockSizes), std::size(kSampleRates),
                                 instance.canProcessDouble() ? "32/64-bit" : "32-bit"));
}

// Seconds per block of the fastest of several runs.
template <class T>
double timePerBlock(PluginInstance& instance, GuardedChannels<T>& in, GuardedChannels<T>& out,
                    int64_t blocks) {
   double best = std::numeric_limits<double>::infinity();
   for (int run = 0; run < 5; ++run) {
      const auto start = std::chrono::steady_clock::now();
      for (int64_t b = 0; b < blocks; ++b) {
         instance.process(in.pointers(), out.pointers(), int32_t(in.frames()));
      }
      best = std::min(
          best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
   }
   return best / double(blocks);
}

template <class T>
double denormalCost(PluginInstance& instance, const CheckContext& context, Findings& findings) {
   constexpr size_t kFrames = 1024;
   const AEffect& r = instance.record();
   GuardedChannels<T> normal(r.numInputs, kFrames), tiny(r.numInputs, kFrames),
       out(r.numOutputs, kFrames);
   for (int32_t c = 0; c < r.numInputs; ++c) {
      for (size_t i = 0; i < kFrames; ++i) {
         normal.channel(c)[i] = T(0.5) + T(i % 7) * T(0.0625);
         tiny.channel(c)[i] = std::numeric_limits<T>::denorm_min() * T(1 + i % 1000);
      }
   }
   const int64_t blocks = context.scaled(200, 5);
   const double normalTime = timePerBlock(instance, normal, out, blocks);
   const double tinyTime = timePerBlock(instance, tiny, out, blocks);
   for (int32_t c = 0; c < r.numOutputs; ++c) {
      for (size_t i = 0; i < kFrames; ++i) {
         if (!std::isfinite(out.channel(c)[i])) {
            findings.fail(format("%s denormal input gave %g at channel %d frame %zu",
                                 precisionName<T>(), double(out.channel(c)[i]), c, i));
            return 0;
         }
      }
   }
   return normalTime > 0 ? tinyTime / normalTime : 0;
}

CheckResult denormals(const CheckContext& context) {
   auto module = loadPlugin(context);
   PluginInstance instance(module);
   Findings findings;
   if (gainModelApplies(instance.record())) {
      instance.setParameter(0, 0.5f);
      instance.setParameter(1, 0.5f);
   }
   instance.start();
   const double single = denormalCost<float>(instance, context, findings);
   std::string detail = format("denormal input costs %.2fx normal input (32-bit)", single);
   double worst = single;
   if (instance.canProcessDouble()) {
      const double twice = denormalCost<double>(instance, context, findings);
      detail += format(", %.2fx (64-bit)", twice);
      worst = std::max(worst, twice);
   }
   if (worst > 1.5) {
      findings.warn(format("denormals slow processing down %.1fx; consider flushing them", worst));
   }
   return findings.result(detail);
}

} // namespace

std::vector<Check> processingChecks() {
   return {
       {"process.out-of-place",
        "block sizes x sample rates x 32/64-bit into separate guarded buffers; output = input x "
        "gain",
        outOfPlace},
       {"process.in-place", "the same grid with each output buffer its input; same samples",
        inPlace},
       {"process.denormals", "measures what denormal input costs (a warning above 1.5x)",
        denormals},
   };
}

} // namespace plughost::validate
