// Lifecycle: many instances one after the other, many at once, and from many threads at once.
#include "tools/hostlib/plugin_instance.h"
#include "tools/validate/allocation_counter.h"
#include "tools/validate/check.h"
#include "tools/validate/host_support.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace plughost::validate {
namespace {

constexpr size_t kBlock = 64;

// The heap may grow a little for the allocator's own bookkeeping; a leak of even one byte per
// instance over 10,000 instances is far above this.
constexpr size_t kHeapSlack = 64 * 1024;

CheckResult createAndCloseMany(const CheckContext& context) {
   auto module = loadPlugin(context);
   Random random(context.seed);
   Findings findings;
   const int64_t cycles = context.scaled(10000, 200);
   const int64_t warmUp = 50;
   size_t baseline = 0;
   for (int64_t i = 0; i < warmUp + cycles && !findings.failed(); ++i) {
      if (i == warmUp) baseline = heapBytesInUse();
      PluginInstance instance(module, HostSettings{44100.0f, int32_t(kBlock), {}});
      instance.start();
      const std::string problem = i % 2 ? processAndCheck<float>(instance, kBlock, random)
                                        : processAndCheck<double>(instance, kBlock, random);
      if (!problem.empty())
         findings.fail(format("cycle %lld: %s", (long long)(i), problem.c_str()));
      instance.stop();
      instance.close();
   }
   const size_t after = heapBytesInUse();
   const long long grown = static_cast<long long>(after) - static_cast<long long>(baseline);
   if (grown > static_cast<long long>(kHeapSlack)) {
      findings.fail(format("the heap grew by %lld bytes over %lld create/close cycles (%.1f bytes "
                           "per instance): a leak",
                           grown, (long long)cycles, double(grown) / double(cycles)));
   }
   return findings.result(format("%lld cycles, heap %+lld bytes", (long long)cycles, grown));
}

CheckResult manyAtOnce(const CheckContext& context) {
   auto module = loadPlugin(context);
   Random random(context.seed);
   Findings findings;
   constexpr int kInstances = 64;
   std::vector<std::unique_ptr<PluginInstance>> instances;
   for (int i = 0; i < kInstances; ++i) {
      instances.push_back(std::make_unique<PluginInstance>(module));
   }
   for (int i = 0; i < kInstances; ++i) {
      for (int j = 0; j < i; ++j) {
         if (&instances[i]->record() == &instances[j]->record() ||
             instances[i]->record().object == instances[j]->record().object) {
            return {Status::fail, format("instances %d and %d share their record", j, i)};
         }
      }
   }
   // Distinct values per instance, all exact in binary.
   auto value = [](int i, int32_t p) { return float((i * 7 + p * 13) % 64 + 1) / 64.0f; };
   for (int i = 0; i < kInstances; ++i) {
      for (int32_t p = 0; p < instances[i]->record().numParams && p < 16; ++p) {
         instances[i]->setParameter(p, value(i, p));
      }
      instances[i]->start();
   }
   auto verify = [&](const char* when) {
      for (int i = 0; i < kInstances; ++i) {
         if (!instances[i]) continue;
         for (int32_t p = 0; p < instances[i]->record().numParams && p < 16; ++p) {
            const float got = instances[i]->getParameter(p);
            if (!sameBits(got, value(i, p))) {
               findings.fail(
                   format("%s, instance %d parameter %d reads %g, not the %g it was set to", when,
                          i, p, double(got), double(value(i, p))));
            }
         }
         const std::string problem = processAndCheck<float>(*instances[i], kBlock, random);
         if (!problem.empty())
            findings.fail(format("%s, instance %d: %s", when, i, problem.c_str()));
      }
   };
   verify("with 64 alive");
   for (int i = 0; i < kInstances; i += 2)
      instances[i].reset();
   verify("after closing every other one");
   return findings.result("64 instances alive at once keep their own parameters and output");
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
         ready.fetch_add(1);
         while (ready.load() < kThreads)
            std::this_thread::yield();
         for (int64_t i = 0; i < perThread; ++i) {
            std::string problem;
            try {
               HostedEffect effect(*module, 48000.0f, int32_t(kBlock));
               if (gainModelApplies(effect.record())) {
                  effect.setParameter(0, float(random.below(65)) / 64.0f);
                  effect.setParameter(1, float(random.below(65)) / 64.0f);
               }
               effect.start();
               problem = processAndCheck<float>(effect, kBlock, random);
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

} // namespace

std::vector<Check> lifecycleChecks() {
   return {
       {"lifecycle.cycles",
        "10,000 create, open, resume, process, suspend, close cycles; the heap ends where it began",
        createAndCloseMany},
       {"lifecycle.instances", "64 instances alive at once stay independent", manyAtOnce},
       {"lifecycle.threads", "8 threads create, run and close instances at the same time",
        createFromThreads},
   };
}

} // namespace plughost::validate
