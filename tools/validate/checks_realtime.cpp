// SPDX-License-Identifier: MIT
// Real-time safety: the processing and parameter calls neither touch the heap nor lock a mutex.
#include "tools/hostlib/plugin_instance.h"
#include "tools/validate/allocation_counter.h"
#include "tools/validate/check.h"
#include "tools/validate/check_support.h"

#include <dlfcn.h>
#include <pthread.h>

namespace plughost::validate {
namespace {

// Proves that a plug-in would bind to the counting functions: they are looked up the way the
// dynamic loader resolves a plug-in's references, through the global scope.
std::string countingReachesPlugins() {
   using Malloc = void* (*)(size_t);
   using Free = void (*)(void*);
   using Lock = int (*)(pthread_mutex_t*);
   using Unlock = int (*)(pthread_mutex_t*);
   auto m = reinterpret_cast<Malloc>(dlsym(RTLD_DEFAULT, "malloc"));
   auto f = reinterpret_cast<Free>(dlsym(RTLD_DEFAULT, "free"));
   auto n = reinterpret_cast<Malloc>(dlsym(RTLD_DEFAULT, "_Znwm"));
   auto d = reinterpret_cast<Free>(dlsym(RTLD_DEFAULT, "_ZdlPv"));
   auto l = reinterpret_cast<Lock>(dlsym(RTLD_DEFAULT, "pthread_mutex_lock"));
   auto u = reinterpret_cast<Unlock>(dlsym(RTLD_DEFAULT, "pthread_mutex_unlock"));
   if (!m || !f || !n || !d || !l || !u) return "the heap functions cannot be looked up";
   pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
   armAllocationCounting();
   f(m(16));
   d(n(16));
   l(&mutex);
   u(&mutex);
   const AllocationCounts c = disarmAllocationCounting();
   if (c.allocations != 2 || c.frees != 2 || c.locks != 1) {
      return format("the counting functions are not the ones plug-ins bind to (%llu/%llu/%llu "
                    "counted); is plughost linked with its symbols exported?",
                    (unsigned long long)c.allocations, (unsigned long long)c.frees,
                    (unsigned long long)c.locks);
   }
   return {};
}

struct Tally {
   AllocationCounts total;
   int64_t calls = 0;
   std::string first; // the first call that touched the heap or a lock

   template <class Call>
   void run(const std::string& what, Call call) {
      armAllocationCounting();
      call();
      const AllocationCounts c = disarmAllocationCounting();
      ++calls;
      total.allocations += c.allocations;
      total.frees += c.frees;
      total.locks += c.locks;
      if (c.total() > 0 && first.empty()) {
         first = format("%s made %llu allocations, %llu frees, %llu mutex locks", what.c_str(),
                        (unsigned long long)c.allocations, (unsigned long long)c.frees,
                        (unsigned long long)c.locks);
      }
   }
};

template <class T>
void processCalls(PluginInstance& effect, Random& random, Tally& tally) {
   const AEffect& r = effect.record();
   for (int32_t frames : {1, 64, 512, 4096, 0, 17}) {
      GuardedChannels<T> in(r.numInputs, size_t(frames)), out(r.numOutputs, size_t(frames));
      in.fillRandom(random);
      for (int repeat = 0; repeat < 8; ++repeat) {
         tally.run(format("%s (%d frames)",
                          sizeof(T) == 4 ? "processReplacing" : "processDoubleReplacing", frames),
                   [&] { effect.process(in.pointers(), out.pointers(), frames); });
         if (r.numInputs != r.numOutputs) continue;
         GuardedChannels<T> buffer = in; // in place
         tally.run(format("%s in place (%d frames)",
                          sizeof(T) == 4 ? "processReplacing" : "processDoubleReplacing", frames),
                   [&] { effect.process(buffer.pointers(), buffer.pointers(), frames); });
      }
   }
}

CheckResult noHeapNoLocks(const CheckContext& context) {
   if (!allocationCountingAvailable()) {
      return {Status::skip, allocationCountingUnavailableReason()};
   }
   const std::string broken = countingReachesPlugins();
   if (!broken.empty()) return {Status::fail, broken};

   auto module = loadPlugin(context);
   PluginInstance effect(module, checkSettings(48000.0f, 4096));
   effect.start();
   Random random(context.seed);
   Tally tally;
   // Everything runs on the audio thread, where a host makes its processing calls; the counters
   // count that thread's calls only.
   AudioThread audio;
   audio.run([&] {
      processCalls<float>(effect, random, tally);
      if (effect.canProcessDouble()) processCalls<double>(effect, random, tally);
      const int32_t params = std::min(effect.record().numParams, 64);
      // Hosts send values in 0 to 1 to parameters that exist; the rest is for --level hostile.
      const bool hostile = context.atLeast(Level::hostile);
      std::vector<int32_t> indices;
      if (hostile) indices = badIndices(effect.record().numParams);
      for (int32_t p = 0; p < params; ++p)
         indices.push_back(p);
      for (int32_t index : indices) {
         for (float v : hostile ? awkwardValues() : std::vector<float>{0.0f, 0.25f, 0.5f, 1.0f}) {
            tally.run(format("setParameter(%d, %g)", index, double(v)),
                      [&] { effect.setParameter(index, v); });
            tally.run(format("getParameter(%d)", index), [&] { (void)effect.getParameter(index); });
         }
      }
      // Processing again after all the parameter changes.
      processCalls<float>(effect, random, tally);
   });
   Findings findings;
   if (tally.total.total() > 0) {
      findings.fail(tally.first + format("; %llu allocations, %llu frees, %llu locks in %lld calls",
                                         (unsigned long long)tally.total.allocations,
                                         (unsigned long long)tally.total.frees,
                                         (unsigned long long)tally.total.locks,
                                         (long long)tally.calls));
   }
   return findings.result(
       format("%lld processing and parameter calls: no heap, no mutex", (long long)tally.calls));
}

} // namespace

std::vector<Check> realtimeChecks() {
   return {
       {"realtime.allocations",
        "no malloc/free/new/delete/pthread_mutex_lock while processing or in parameter calls",
        Level::strict, Severity::fails, noHeapNoLocks},
   };
}

} // namespace plughost::validate
