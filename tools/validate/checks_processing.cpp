// SPDX-License-Identifier: MIT
// Processing, without any model of what the plug-in does: guarded buffers, every output written
// and finite for finite input, the signals hosts send (silence above all), sample rates, block
// sizes, determinism, in place against separate buffers, and what denormals cost.
#include "tools/hostlib/plugin_instance.h"
#include "tools/validate/check.h"
#include "tools/validate/check_support.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <numbers>

namespace plughost::validate {
namespace {

constexpr float kHostRates[] = {44100.0f, 48000.0f, 88200.0f, 96000.0f, 192000.0f};
constexpr float kStrictRates[] = {8000.0f, 11025.0f, 22050.0f, 384000.0f};
// Odd sizes, primes and powers of two up to the largest block announced.
constexpr int32_t kBlockSizes[] = {1,   2,   3,   5,   7,   13,   17,   31,   64,   100,
                                   127, 128, 441, 511, 512, 1000, 1023, 2027, 4095, 4096};
constexpr int32_t kMaxBlock = 4096;
// An output this close to zero counts as silence (-90 dBFS).
constexpr double kSilence = 3.2e-5;
constexpr double kTailCapSeconds = 10.0;
// At host level a tail that never settles costs at most this much audio per signal.
constexpr double kHostTailCapSeconds = 2.0;
// A difference between two runs this far below the signal is rounding no one hears.
constexpr double kInaudibleDb = -100.0;

// Input sample `frame` of `channel`, a pure function of both so that any two runs, whatever
// their block sizes, see the same stream.
using Signal = std::function<float(int32_t channel, int64_t frame)>;

float noiseAt(uint64_t seed, int32_t channel, int64_t frame) {
   Random r(seed ^ (uint64_t(channel) << 40) ^ uint64_t(frame) * 0x2545F4914F6CDD1Dull);
   return r.sample();
}

Signal noiseSignal(uint64_t seed) {
   return [seed](int32_t c, int64_t i) { return noiseAt(seed, c, i); };
}

// The output of one run over a sequence of blocks, channel by channel, and the first problem
// that a processing call showed (guards, inputs, unwritten or non-finite output).
template <class T>
struct Run {
   std::vector<std::vector<T>> out;
   std::string problem;
};

// Processes `signal` in blocks of the given sizes (0-frame calls included), out of place or in
// place (each output that has an input of the same number is that input's buffer). Notes are
// sent for instruments.
template <class T>
Run<T> runBlocks(PluginInstance& p, AudioThread& audio, const Signal& signal,
                 const std::vector<int32_t>& blocks, bool inPlace, Notes* notes) {
   const AEffect& r = p.record();
   Run<T> run;
   run.out.assign(size_t(r.numOutputs), {});
   int64_t position = 0;
   for (int32_t frames : blocks) {
      const size_t n = size_t(frames);
      GuardedChannels<T> in(r.numInputs, n), out(r.numOutputs, n);
      for (int32_t c = 0; c < r.numInputs; ++c) {
         for (size_t i = 0; i < n; ++i)
            in.channel(c)[i] = T(signal(c, position + int64_t(i)));
      }
      std::string problem;
      if (!inPlace) {
         problem = processAndCheck<T>(p, audio, in, out, n, true, notes);
      } else {
         out.fillSentinel();
         std::vector<T*> pointers = out.channelPointers();
         const int32_t shared = std::min(r.numInputs, r.numOutputs);
         for (int32_t c = 0; c < shared; ++c)
            pointers[size_t(c)] = in.channel(c);
         out.pointAt(pointers);
         audio.run([&] {
            if (notes) notes->send(p, p.samplePosition(), frames);
            p.process(in.pointers(), out.pointers(), frames);
         });
         checkDefined(in, n);
         checkDefined(out, n);
         problem = in.damage("in-place");
         if (problem.empty()) problem = out.damage("output");
         for (int32_t c = 0; c < r.numOutputs && problem.empty(); ++c) {
            const T* o = pointers[size_t(c)];
            for (size_t i = 0; i < n; ++i) {
               if (GuardedChannels<T>::isSentinel(o[i]) || !std::isfinite(o[i])) {
                  problem =
                      format("in place, output channel %d frame %zu is %g", c, i, double(o[i]));
                  break;
               }
            }
         }
      }
      for (int32_t c = 0; c < r.numOutputs; ++c) {
         const T* o = inPlace && c < r.numInputs ? in.channel(c) : out.channel(c);
         run.out[size_t(c)].insert(run.out[size_t(c)].end(), o, o + n);
      }
      if (!problem.empty() && run.problem.empty()) {
         run.problem =
             format("%d-frame call at frame %lld: ", frames, (long long)position) + problem;
      }
      position += frames;
   }
   return run;
}

// Empty if both runs gave the same samples to the bit; else where they first differ.
template <class T>
std::string firstDifference(const Run<T>& a, const Run<T>& b) {
   for (size_t c = 0; c < a.out.size() && c < b.out.size(); ++c) {
      const size_t n = std::min(a.out[c].size(), b.out[c].size());
      for (size_t i = 0; i < n; ++i) {
         if (!sameBits(a.out[c][i], b.out[c][i])) {
            return format("channel %zu frame %zu: %.9g against %.9g", c, i, double(a.out[c][i]),
                          double(b.out[c][i]));
         }
      }
   }
   return {};
}

// How loud the difference between two runs is against the louder of the two, in dB; -inf when
// they are the same to the bit, +inf where they differ but are both silent.
template <class T>
double differenceDb(const Run<T>& a, const Run<T>& b) {
   double difference = 0, energyA = 0, energyB = 0;
   for (size_t c = 0; c < a.out.size() && c < b.out.size(); ++c) {
      const size_t n = std::min(a.out[c].size(), b.out[c].size());
      for (size_t i = 0; i < n; ++i) {
         const double x = double(a.out[c][i]), y = double(b.out[c][i]);
         difference += (x - y) * (x - y);
         energyA += x * x;
         energyB += y * y;
      }
   }
   const double energy = std::max(energyA, energyB);
   if (difference == 0) return -HUGE_VAL;
   if (energy == 0 || !std::isfinite(difference)) return HUGE_VAL;
   return 10.0 * std::log10(difference / energy);
}

// Where two runs first differ and how loud the difference is, or empty when it is inaudible.
template <class T>
std::string audibleDifference(const Run<T>& a, const Run<T>& b) {
   const double db = differenceDb(a, b);
   if (db < kInaudibleDb) return {};
   return firstDifference(a, b) + format(" (the difference at %.1f dB of the signal)", db);
}

std::vector<int32_t> evenBlocks(int32_t size, int64_t frames) {
   return std::vector<int32_t>(size_t(std::max<int64_t>(frames / size, 1)), size);
}

// Fresh instances for comparisons: same settings, started, with the same notes if they play.
struct Fresh {
   PluginInstance instance;
   Notes notes;
   Fresh(const std::shared_ptr<PluginModule>& module, float rate, int32_t maxBlock)
       : instance(module, checkSettings(rate, maxBlock)), notes(int64_t(rate) / 4) {
      instance.start();
   }
   Notes* notesIfInstrument() { return isInstrument(instance.record()) ? &notes : nullptr; }
};

// Two fresh instances, the same input in 512-frame blocks: empty if their outputs match.
template <class T>
std::string nondeterminism(const std::shared_ptr<PluginModule>& module, AudioThread& audio,
                           const Signal& signal, int64_t frames, std::string& problem) {
   Fresh a(module, 44100.0f, 512), b(module, 44100.0f, 512);
   const auto blocks = evenBlocks(512, frames);
   const Run<T> ra = runBlocks<T>(a.instance, audio, signal, blocks, false, a.notesIfInstrument());
   const Run<T> rb = runBlocks<T>(b.instance, audio, signal, blocks, false, b.notesIfInstrument());
   problem = ra.problem.empty() ? rb.problem : ra.problem;
   return firstDifference(ra, rb);
}

CheckResult determinism(const CheckContext& context) {
   auto module = loadPlugin(context);
   AudioThread audio;
   Findings findings;
   std::string problem;
   const std::string difference =
       nondeterminism<float>(module, audio, noiseSignal(context.seed), 44100, problem);
   if (!problem.empty()) findings.fail(problem);
   if (!difference.empty()) {
      findings.warn("two fresh instances gave different output for the same input (noise or "
                    "randomness on purpose?): " +
                    difference);
   }
   return findings.result(difference.empty()
                              ? "two fresh instances give the same samples for the same input"
                              : "two fresh instances compared over a second of noise");
}

template <class T>
void compareInPlace(const std::shared_ptr<PluginModule>& module, AudioThread& audio,
                    const Signal& signal, Findings& findings) {
   // Blocks of the size announced: odd sizes are process.block-sizes' concern.
   const std::vector<int32_t> blocks = evenBlocks(512, 22050);
   Fresh separate(module, 44100.0f, 512), inPlace(module, 44100.0f, 512);
   const Run<T> a = runBlocks<T>(separate.instance, audio, signal, blocks, false, nullptr);
   const Run<T> b = runBlocks<T>(inPlace.instance, audio, signal, blocks, true, nullptr);
   const char* precision = sizeof(T) == 4 ? "32-bit" : "64-bit";
   if (!a.problem.empty()) findings.fail(format("%s: %s", precision, a.problem.c_str()));
   if (!b.problem.empty()) findings.fail(format("%s: %s", precision, b.problem.c_str()));
   const std::string difference = audibleDifference(b, a);
   if (!difference.empty()) {
      findings.fail(
          format("%s in place differs from separate buffers at %s", precision, difference.c_str()));
   }
}

CheckResult inPlace(const CheckContext& context) {
   auto module = loadPlugin(context);
   AudioThread audio;
   const Signal signal = noiseSignal(context.seed + 1);
   {
      PluginInstance probe(module, checkSettings());
      if (probe.record().numInputs == 0) {
         return {Status::skip, "the plug-in has no inputs, so nothing is processed in place"};
      }
   }
   std::string problem;
   const std::string difference = nondeterminism<float>(module, audio, signal, 22050, problem);
   if (!difference.empty()) {
      return {Status::skip, "two fresh instances differ for the same input (see "
                            "process.determinism), so in place cannot be compared: " +
                                difference};
   }
   Findings findings;
   compareInPlace<float>(module, audio, signal, findings);
   PluginInstance probe(module, checkSettings());
   if (probe.canProcessDouble()) compareInPlace<double>(module, audio, signal, findings);
   return findings.result(
       format("two fresh instances, one in place, give the same samples over half a second%s",
              probe.canProcessDouble() ? ", 32 and 64-bit" : ""));
}

// Blocks of every size from the table in a shuffled order with 0-frame calls between, so the
// size changes from call to call up to the maximum announced.
std::vector<int32_t> varyingBlocks(Random& random) {
   std::vector<int32_t> blocks;
   for (int round = 0; round < 2; ++round) {
      std::vector<int32_t> sizes(std::begin(kBlockSizes), std::end(kBlockSizes));
      for (size_t i = sizes.size(); i > 1; --i)
         std::swap(sizes[i - 1], sizes[random.below(uint32_t(i))]);
      for (int32_t s : sizes) {
         blocks.push_back(s);
         if (random.below(4) == 0) blocks.push_back(0);
      }
   }
   return blocks;
}

CheckResult blockSizes(const CheckContext& context) {
   auto module = loadPlugin(context);
   AudioThread audio;
   Random random(context.seed);
   Findings findings;
   const Signal signal = noiseSignal(context.seed + 2);
   const std::vector<int32_t> varying = varyingBlocks(random);
   int64_t total = 0;
   for (int32_t b : varying)
      total += b;
   Fresh odd(module, 44100.0f, kMaxBlock);
   const Run<float> a =
       runBlocks<float>(odd.instance, audio, signal, varying, false, odd.notesIfInstrument());
   if (!a.problem.empty()) findings.fail("32-bit: " + a.problem);
   if (odd.instance.canProcessDouble()) {
      Fresh odd64(module, 44100.0f, kMaxBlock);
      const Run<double> d = runBlocks<double>(odd64.instance, audio, signal, varying, false,
                                              odd64.notesIfInstrument());
      if (!d.problem.empty()) findings.fail("64-bit: " + d.problem);
   }
   // The same stream in even blocks: a plug-in whose output depends on how the host cuts the
   // stream sounds different in every host.
   std::string problem;
   const std::string noise = nondeterminism<float>(module, audio, signal, 4096, problem);
   if (noise.empty()) {
      std::vector<int32_t> even = evenBlocks(512, total);
      even.push_back(int32_t(total % 512));
      Fresh reference(module, 44100.0f, kMaxBlock);
      const Run<float> b = runBlocks<float>(reference.instance, audio, signal, even, false,
                                            reference.notesIfInstrument());
      const std::string difference = audibleDifference(a, b);
      if (!difference.empty()) {
         findings.warn("the output depends on the block size: varying blocks against 512-frame "
                       "blocks differ at " +
                       difference);
      }
   }
   return findings.result(format("%zu calls of 0 to %d frames, size changing from call to call%s",
                                 varying.size(), kMaxBlock,
                                 !noise.empty()      ? "; not compared with even blocks (output "
                                                       "not deterministic)"
                                 : findings.warned() ? "; compared with even blocks"
                                                     : "; same output as in even blocks"));
}

CheckResult sampleRates(const CheckContext& context) {
   auto module = loadPlugin(context);
   AudioThread audio;
   Random random(context.seed);
   Findings findings;
   std::vector<float> rates(std::begin(kHostRates), std::end(kHostRates));
   if (context.atLeast(Level::strict))
      rates.insert(rates.end(), std::begin(kStrictRates), std::end(kStrictRates));
   const Signal signal = noiseSignal(context.seed + 3);
   for (float rate : rates) {
      Fresh f(module, rate, kMaxBlock);
      const std::vector<int32_t> blocks = varyingBlocks(random);
      const Run<float> r =
          runBlocks<float>(f.instance, audio, signal, blocks, false, f.notesIfInstrument());
      if (!r.problem.empty())
         findings.fail(format("at %g Hz: %s", double(rate), r.problem.c_str()));
      if (f.instance.canProcessDouble()) {
         const Run<double> d =
             runBlocks<double>(f.instance, audio, signal, evenBlocks(1000, 8000), false, nullptr);
         if (!d.problem.empty())
            findings.fail(format("at %g Hz, 64-bit: %s", double(rate), d.problem.c_str()));
      }
   }
   return findings.result(format("%zu sample rates from %g to %g Hz", rates.size(),
                                 double(*std::min_element(rates.begin(), rates.end())),
                                 double(*std::max_element(rates.begin(), rates.end()))));
}

// A live instance: suspend, a new rate, resume, as a host does when its device changes.
CheckResult rateChange(const CheckContext& context) {
   auto module = loadPlugin(context);
   AudioThread audio;
   Findings findings;
   const Signal signal = noiseSignal(context.seed + 4);
   Fresh f(module, 44100.0f, 512);
   const float rates[] = {96000.0f, 22050.0f, 48000.0f};
   Run<float> r = runBlocks<float>(f.instance, audio, signal, evenBlocks(512, 11025), false,
                                   f.notesIfInstrument());
   if (!r.problem.empty()) findings.fail("at 44100 Hz: " + r.problem);
   for (float rate : rates) {
      f.instance.stop();
      f.instance.dispatch(effSetSampleRate, 0, 0, nullptr, rate);
      f.instance.start();
      r = runBlocks<float>(f.instance, audio, signal, evenBlocks(512, int64_t(rate) / 4), false,
                           nullptr);
      if (!r.problem.empty())
         findings.fail(format("after the change to %g Hz: %s", double(rate), r.problem.c_str()));
   }
   return findings.result("44100 Hz, then 96000, 22050 and 48000 Hz on the same live instance");
}

// ---- Signals ----------------------------------------------------------------------------------

struct NamedSignal {
   const char* name;
   Signal signal;
};

std::vector<NamedSignal> signalsFor(uint64_t seed, float rate) {
   const double w = 2.0 * std::numbers::pi * 997.0 / double(rate);
   return {
       {"silence (+0)", [](int32_t, int64_t) { return 0.0f; }},
       {"silence (-0)", [](int32_t, int64_t) { return -0.0f; }},
       {"an impulse", [](int32_t, int64_t i) { return i == 0 ? 1.0f : 0.0f; }},
       {"DC", [](int32_t, int64_t) { return 0.5f; }},
       {"a full-scale sine", [w](int32_t, int64_t i) { return float(std::sin(w * double(i))); }},
       {"a +12 dBFS sine",
        [w](int32_t, int64_t i) { return float(3.981 * std::sin(w * double(i))); }},
       {"noise", noiseSignal(seed)},
       {"denormals",
        [](int32_t c, int64_t i) {
           return std::numeric_limits<float>::denorm_min() * float(1 + (i + c) % 1000) *
                  (i % 2 ? -1.0f : 1.0f);
        }},
   };
}

// Feeds `signal` for a quarter of a second and then silence: every call is checked, and the
// output must settle to silence within the plug-in's tail (a warning when it does not).
void signalThenSilence(const std::shared_ptr<PluginModule>& module, AudioThread& audio,
                       const NamedSignal& s, bool instrument, double capSeconds,
                       Findings& findings) {
   constexpr float kRate = 48000.0f;
   constexpr int32_t kBlock = 512;
   Fresh f(module, kRate, kBlock);
   const intptr_t tail = f.instance.dispatch(effGetTailSize);
   const int64_t cap = int64_t(capSeconds * kRate);
   const int64_t tailFrames = tail > 1 ? std::min<int64_t>(tail + kBlock, cap) : cap;
   const int64_t signalFrames = int64_t(kRate) / 4;
   const AEffect& r = f.instance.record();
   Notes* notes = instrument ? &f.notes : nullptr;
   GuardedChannels<float> in(r.numInputs, kBlock), out(r.numOutputs, kBlock);
   int64_t position = 0, silentSince = -1;
   double peak = 0, lastPeak = 0;
   bool denormal = false;
   const int64_t end = signalFrames + tailFrames;
   for (; position < end; position += kBlock) {
      const bool signalOn = position < signalFrames;
      for (int32_t c = 0; c < r.numInputs; ++c) {
         for (int32_t i = 0; i < kBlock; ++i)
            in.channel(c)[i] = signalOn ? s.signal(c, position + i) : 0.0f;
      }
      const std::string problem =
          processAndCheck<float>(f.instance, audio, in, out, kBlock, true, notes);
      if (!problem.empty()) {
         findings.fail(format("%s: frame %lld: %s", instrument ? "notes" : s.name,
                              (long long)position, problem.c_str()));
         return;
      }
      lastPeak = 0;
      for (int32_t c = 0; c < r.numOutputs; ++c) {
         for (int32_t i = 0; i < kBlock; ++i) {
            const float v = out.channel(c)[i];
            lastPeak = std::max(lastPeak, double(std::fabs(v)));
            denormal = denormal || std::fpclassify(v) == FP_SUBNORMAL;
         }
      }
      peak = std::max(peak, lastPeak);
      if (!signalOn) {
         if (lastPeak > kSilence) {
            silentSince = -1;
         } else if (silentSince < 0) {
            silentSince = position;
         } else if (position - silentSince >= int64_t(kRate) / 2) {
            break; // silent for half a second: settled
         }
      }
   }
   const char* what = instrument ? "notes" : s.name;
   if (instrument && peak == 0) findings.warn("the notes gave no sound at all");
   if (lastPeak > kSilence) {
      findings.warn(format("after %s, the output did not settle to silence within %.2f s of "
                           "silent input (%s; last block peak %.3g)",
                           what, double(tailFrames) / kRate,
                           tail > 1 ? "the tail it reports" : "it reports no tail, so the cap",
                           lastPeak));
   }
   if (denormal) findings.warn(format("%s: the output holds denormal samples", what));
}

CheckResult signals(const CheckContext& context) {
   auto module = loadPlugin(context);
   AudioThread audio;
   Findings findings;
   bool instrument = false;
   {
      PluginInstance probe(module, checkSettings());
      instrument = isInstrument(probe.record());
   }
   const auto all = signalsFor(context.seed, 48000.0f);
   // A tail that does not end only warns, so the host level and a reduced scale wait less for
   // one, lest a single plug-in hold a run of many for minutes.
   const double full = context.atLeast(Level::strict) ? kTailCapSeconds : kHostTailCapSeconds;
   const double cap = std::max(1.0, full * std::min(1.0, context.scale));
   if (instrument) {
      // An instrument's input is its notes; silence on its inputs (if any) comes with them.
      signalThenSilence(module, audio, all[0], true, cap, findings);
   } else {
      for (const NamedSignal& s : all)
         signalThenSilence(module, audio, s, false, cap, findings);
   }
   return findings.result(instrument
                              ? "a chord of notes and its release: finite, settling to silence"
                              : "silence (+0, -0), impulse, DC, 0 and +12 dBFS sines, noise, "
                                "denormals: finite output that settles to silence");
}

// ---- Denormals --------------------------------------------------------------------------------

// Seconds per block of the fastest of several runs.
template <class T>
double timePerBlock(PluginInstance& instance, AudioThread& audio, GuardedChannels<T>& in,
                    GuardedChannels<T>& out, int64_t blocks) {
   double best = std::numeric_limits<double>::infinity();
   for (int run = 0; run < 5; ++run) {
      double seconds = 0;
      audio.run([&] {
         const auto start = std::chrono::steady_clock::now();
         for (int64_t b = 0; b < blocks; ++b)
            instance.process(in.pointers(), out.pointers(), int32_t(in.frames()));
         seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      });
      best = std::min(best, seconds);
   }
   return best / double(blocks);
}

template <class T>
double denormalCost(PluginInstance& instance, AudioThread& audio, const CheckContext& context,
                    Findings& findings) {
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
   const double normalTime = timePerBlock(instance, audio, normal, out, blocks);
   const double tinyTime = timePerBlock(instance, audio, tiny, out, blocks);
   bool denormalOut = false;
   for (int32_t c = 0; c < r.numOutputs; ++c) {
      for (size_t i = 0; i < kFrames; ++i) {
         const T v = out.channel(c)[i];
         if (!std::isfinite(v)) {
            findings.fail(format("%s denormal input gave %g at channel %d frame %zu",
                                 sizeof(T) == 4 ? "32-bit" : "64-bit", double(v), c, i));
            return 0;
         }
         denormalOut = denormalOut || std::fpclassify(v) == FP_SUBNORMAL;
      }
   }
   if (denormalOut) findings.warn("denormal input gives denormal output without flush-to-zero");
   return normalTime > 0 ? tinyTime / normalTime : 0;
}

// Runs with flush-to-zero and denormals-are-zero clear, as a host that leaves them off does.
CheckResult denormals(const CheckContext& context) {
   auto module = loadPlugin(context);
   AudioThread audio(false);
   PluginInstance instance(module, checkSettings(44100.0f, 1024));
   Findings findings;
   if (instance.record().numInputs == 0) {
      return {Status::skip, "the plug-in has no inputs to feed denormals to"};
   }
   instance.start();
   const double single = denormalCost<float>(instance, audio, context, findings);
   std::string detail = format("denormal input costs %.2fx normal input (32-bit)", single);
   double worst = single;
   if (instance.canProcessDouble()) {
      const double twice = denormalCost<double>(instance, audio, context, findings);
      detail += format(", %.2fx (64-bit)", twice);
      worst = std::max(worst, twice);
   }
   if (worst > 1.5) {
      findings.warn(format("denormals slow processing down %.1fx; consider flushing them", worst));
   }
   return findings.result(detail + ", flush-to-zero off");
}

} // namespace

std::vector<Check> processingChecks() {
   return {
       {"process.signals",
        "silence (+0/-0), impulse, DC, 0 and +12 dBFS sines, noise, denormals (notes for "
        "instruments): finite, written, guards intact; settles to silence within the tail (warn)",
        Level::host, Severity::failsOrWarns, signals},
       {"process.sample-rates",
        "44.1 to 192 kHz (strict: also 8, 11.025, 22.05 and 384 kHz), varying block sizes, both "
        "precisions",
        Level::host, Severity::fails, sampleRates},
       {"process.block-sizes",
        "1 to 4096 frames and 0-frame calls, changing per call; same output as even blocks (warn)",
        Level::host, Severity::failsOrWarns, blockSizes},
       {"process.rate-change", "suspend, a new sample rate, resume on a live instance", Level::host,
        Severity::fails, rateChange},
       {"process.determinism", "two fresh instances give the same output for the same input",
        Level::host, Severity::warns, determinism},
       {"process.in-place",
        "in place against separate buffers, across two fresh instances (skipped when not "
        "deterministic)",
        Level::host, Severity::fails, inPlace},
       {"process.denormals",
        "with flush-to-zero off: what denormal input costs (warn above 1.5x), denormal output "
        "(warn)",
        Level::strict, Severity::warns, denormals},
   };
}

} // namespace plughost::validate
