// SPDX-License-Identifier: MIT
// Lifecycle: many instances one after the other, many at once, from many threads at once, and
// calls in an order no host should use.
#include "tools/hostlib/plugin_instance.h"
#include "tools/validate/allocation_counter.h"
#include "tools/validate/check.h"
#include "tools/validate/check_support.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace plughost::validate {
namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kBlock = 64;

// Growth per cycle above which the heap leaks, measured as a slope over a second run of cycles,
// after the allocator and the plug-in's lazy caches have settled. A few hundred bytes per
// instance hurt no host (a warning at host level); kilobytes per instance add up in a session
// where instances come and go.
constexpr double kLeakBytesPerCycle = 16.0;
constexpr double kHostLeakBytesPerCycle = 4096.0;
// Time budgets per run of cycles: the count ends sooner for a plug-in that is slow to create.
constexpr double kCycleSeconds = 2.0;
constexpr double kStrictCycleSeconds = 30.0;

CheckResult createAndCloseMany(const CheckContext& context) {
   auto module = loadPlugin(context);
   Random random(context.seed);
   Findings findings;
   AudioThread audio;
   const bool strict = context.atLeast(Level::strict);
   const int64_t cycles = strict ? context.scaled(10000, 200) : context.scaled(400, 60);
   const int64_t warmUp = 20;
   const auto start = Clock::now();
   int64_t done = 0;
   for (int64_t i = 0; i < warmUp + cycles && !findings.failed(); ++i) {
      // A cycle in a host's order: open, rate and size, resume, process, suspend, close.
      PluginInstance instance(module, checkSettings(44100.0f, int32_t(kBlock)));
      instance.start();
      Notes notes(int64_t(kBlock) / 2);
      const AEffect& r = instance.record();
      GuardedChannels<float> in(r.numInputs, kBlock), out(r.numOutputs, kBlock);
      in.fillRandom(random);
      const std::string problem = processAndCheck<float>(instance, audio, in, out, kBlock, true,
                                                         isInstrument(r) ? &notes : nullptr);
      if (!problem.empty())
         findings.fail(format("cycle %lld: %s", (long long)(i), problem.c_str()));
      instance.stop();
      instance.close();
      done = i + 1 - warmUp;
      const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      if (elapsed > (strict ? kStrictCycleSeconds : kCycleSeconds) && done >= 40) break;
   }
   // Measure again over a second run of the same length: what the first run left is warm-up.
   const int64_t measured = std::max<int64_t>(done, 1);
   const size_t before = heapBytesInUse();
   for (int64_t i = 0; i < measured && !findings.failed(); ++i) {
      PluginInstance instance(module, checkSettings(44100.0f, int32_t(kBlock)));
      instance.start();
      const std::string problem = processNoise<float>(instance, audio, kBlock, random);
      if (!problem.empty()) findings.fail(format("cycle %lld: %s", (long long)i, problem.c_str()));
      instance.stop();
      instance.close();
   }
   const size_t after = heapBytesInUse();
   const long long grown = static_cast<long long>(after) - static_cast<long long>(before);
   const double slope = double(grown) / double(measured);
   if (slope > kLeakBytesPerCycle && grown > 16 * 1024) {
      const std::string leak = format("the heap grew by %lld bytes over %lld create/close cycles "
                                      "after warm-up (%.1f bytes per instance): a leak",
                                      grown, (long long)measured, slope);
      strict || slope > kHostLeakBytesPerCycle ? findings.fail(leak) : findings.warn(leak);
   }
   return findings.result(format("%lld + %lld cycles, heap %+lld bytes over the second (%.1f "
                                 "bytes per cycle)",
                                 (long long)done, (long long)measured, grown, slope));
}

CheckResult manyAtOnce(const CheckContext& context) {
   auto module = loadPlugin(context);
   Random random(context.seed);
   Findings findings;
   AudioThread audio;
   const int kInstances = context.atLeast(Level::strict) ? 64 : 8;
   std::vector<std::unique_ptr<PluginInstance>> instances;
   for (int i = 0; i < kInstances; ++i) {
      instances.push_back(
          std::make_unique<PluginInstance>(module, checkSettings(44100.0f, int32_t(kBlock))));
   }
   for (int i = 0; i < kInstances; ++i) {
      for (int j = 0; j < i; ++j) {
         if (&instances[i]->record() == &instances[j]->record()) {
            return {Status::fail, format("instances %d and %d share their record", j, i)};
         }
      }
   }
   // Distinct values per instance. A plug-in may link parameters, so that a later set moves an
   // earlier one: what an instance must keep is what it reads after all of its own sets, and a
   // fault is only what another instance's calls change.
   auto value = [](int i, int32_t p) { return float((i * 7 + p * 13) % 64 + 1) / 64.0f; };
   auto parametersOf = [&](int i) {
      std::vector<float> values;
      for (int32_t p = 0; p < instances[i]->record().numParams && p < 16; ++p)
         values.push_back(instances[i]->getParameter(p));
      return values;
   };
   std::vector<std::vector<float>> snapshot(static_cast<size_t>(kInstances));
   for (int i = 0; i < kInstances; ++i) {
      for (int32_t p = 0; p < instances[i]->record().numParams && p < 16; ++p)
         instances[i]->setParameter(p, value(i, p));
      snapshot[size_t(i)] = parametersOf(i);
      instances[i]->start();
   }
   // Every instance but `except` still reads what it read last.
   auto othersKept = [&](int except, const std::string& after) {
      for (int j = 0; j < kInstances; ++j) {
         if (j == except || !instances[j]) continue;
         const std::vector<float> now = parametersOf(j);
         for (size_t p = 0; p < now.size(); ++p) {
            if (!sameBits(now[p], snapshot[size_t(j)][p])) {
               findings.fail(format("%s, instance %d parameter %zu reads %g, not the %g it had",
                                    after.c_str(), j, p, double(now[p]),
                                    double(snapshot[size_t(j)][p])));
               snapshot[size_t(j)] = now;
               break;
            }
         }
      }
   };
   othersKept(-1, "after every instance's sets");
   auto verify = [&](const char* when) {
      for (int i = 0; i < kInstances; ++i) {
         if (!instances[i]) continue;
         const std::string problem = processNoise<float>(*instances[i], audio, kBlock, random);
         if (!problem.empty())
            findings.fail(format("%s, instance %d: %s", when, i, problem.c_str()));
         // Its own processing may move its own parameters; no other instance's may.
         snapshot[size_t(i)] = parametersOf(i);
         othersKept(i, format("%s, after instance %d processed", when, i));
      }
   };
   verify(format("with %d alive", kInstances).c_str());
   for (int i = 0; i < kInstances; i += 2)
      instances[i].reset();
   othersKept(-1, "after closing every other one");
   verify("after closing every other one");
   return findings.result(
       format("%d instances alive at once keep their own parameters and process", kInstances));
}

CheckResult createFromThreads(const CheckContext& context) {
   auto module = loadPlugin(context);
   constexpr int kThreads = 8;
   const int64_t perThread = context.scaled(500, 20);
   std::mutex lock;
   Findings findings;
   std::atomic<int> ready{0};
   std::vector<std::thread> threads;
   for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
         Random random(context.seed * 100 + uint64_t(t));
         AudioThread audio;
         ready.fetch_add(1);
         while (ready.load() < kThreads)
            std::this_thread::yield();
         for (int64_t i = 0; i < perThread; ++i) {
            std::string problem;
            try {
               PluginInstance effect(module, checkSettings(48000.0f, int32_t(kBlock)));
               for (int32_t p = 0; p < effect.record().numParams && p < 4; ++p)
                  effect.setParameter(p, float(random.below(65)) / 64.0f);
               effect.start();
               problem = processNoise<float>(effect, audio, kBlock, random);
               effect.stop();
               effect.close();
            } catch (const std::exception& e) {
               problem = e.what();
            }
            if (!problem.empty()) {
               std::lock_guard<std::mutex> guard(lock);
               findings.fail(
                   format("thread %d, instance %lld: %s", t, (long long)i, problem.c_str()));
               return;
            }
         }
      });
   }
   for (auto& t : threads)
      t.join();
   return findings.result(format("%d threads created, ran and closed %lld instances each", kThreads,
                                 (long long)perThread));
}

// Calls a careless host makes: processing before resume and after suspend, resume twice,
// settings changed while running, close while running. None may crash or poison the output.
CheckResult outOfOrder(const CheckContext& context) {
   auto module = loadPlugin(context);
   Random random(context.seed);
   Findings findings;
   AudioThread audio;
   auto report = [&](const char* when, const std::string& problem) {
      if (!problem.empty()) findings.fail(std::string(when) + ": " + problem);
   };
   {
      PluginInstance p(module, checkSettings());
      report("processing before resume", processNoise<float>(p, audio, kBlock, random));
      p.dispatch(effMainsChanged, 0, 1);
      p.dispatch(effMainsChanged, 0, 1);
      p.dispatch(effStartProcess);
      p.dispatch(effStartProcess);
      report("after resuming twice", processNoise<float>(p, audio, kBlock, random));
      p.dispatch(effSetSampleRate, 0, 0, nullptr, 96000.0f);
      p.dispatch(effSetBlockSize, 0, 2048);
      report("after new settings while running", processNoise<float>(p, audio, kBlock, random));
      p.dispatch(effStopProcess);
      p.dispatch(effMainsChanged, 0, 0);
      p.dispatch(effMainsChanged, 0, 0);
      report("processing after suspend", processNoise<float>(p, audio, kBlock, random));
      p.dispatch(effMainsChanged, 0, 1);
      // Closed while running: the destructor sends effClose without a suspend first.
   }
   {
      PluginInstance p(module, checkSettings());
      p.dispatch(effStopProcess); // never started
      p.dispatch(effMainsChanged, 0, 0);
   }
   return findings.result("process before resume and after suspend, resume and suspend twice, "
                          "settings while running, close while running");
}

} // namespace

std::vector<Check> lifecycleChecks() {
   return {
       {"lifecycle.cycles",
        "create, open, resume, process, suspend, close cycles (400 at host level, 10,000 from "
        "strict on); the heap's slope after warm-up shows no leak",
        Level::host, Severity::fails, createAndCloseMany},
       {"lifecycle.instances",
        "8 instances (64 from strict on) alive at once keep their own parameters", Level::host,
        Severity::fails, manyAtOnce},
       {"lifecycle.threads", "8 threads create, run and close instances at the same time",
        Level::strict, Severity::fails, createFromThreads},
       {"lifecycle.out-of-order",
        "processing before resume and after suspend, double resume, close while running",
        Level::hostile, Severity::fails, outOfOrder},
   };
}

} // namespace plughost::validate
