// Parameters: every awkward value a host may send, and indices that name no parameter, many
// times over and interleaved with processing.
#include "tools/hostlib/plugin_instance.h"
#include "tools/validate/check.h"
#include "tools/validate/host_support.h"

#include <algorithm>
#include <cmath>

namespace plughost::validate {
namespace {

// Parameters beyond this many are not all exercised: a host cycles through the first ones.
constexpr int32_t kMaxParams = 64;
constexpr int64_t kCallsPerParameter = 100000;
constexpr int64_t kProcessEvery = 997; // calls between two processed blocks
constexpr size_t kBlock = 64;

// Processes one block, in alternating precision, checked against the values last set.
std::string processBlock(PluginInstance& instance, Random& random, const std::vector<float>& set,
                         int64_t call) {
   const AEffect& r = instance.record();
   const bool finite =
       std::all_of(set.begin(), set.end(), [](float v) { return std::isfinite(v); });
   const float* gains = gainModelApplies(r) ? set.data() : nullptr;
   if (call % 2 && instance.canProcessDouble()) {
      return processAndCheck<double>(instance, kBlock, random, gains, finite);
   }
   return processAndCheck<float>(instance, kBlock, random, gains, finite);
}

CheckResult awkwardValuesRoundTrip(const CheckContext& context) {
   auto module = loadPlugin(context);
   PluginInstance instance(module);
   Random random(context.seed);
   Findings findings;
   const int32_t params = std::min(instance.record().numParams, kMaxParams);
   if (params == 0) return {Status::skip, "the plug-in has no parameters"};
   std::vector<float> set(static_cast<size_t>(params));
   for (int32_t p = 0; p < params; ++p)
      set[size_t(p)] = instance.getParameter(p);
   instance.start();
   const auto& values = awkwardValues();
   const int64_t calls = context.scaled(kCallsPerParameter, 100);
   bool warnedRoundTrip = false;
   for (int32_t p = 0; p < params && !findings.failed(); ++p) {
      for (int64_t i = 0; i < calls && !findings.failed(); ++i) {
         const float v = values[size_t(i + p) % values.size()];
         instance.setParameter(p, v);
         set[size_t(p)] = v;
         const float got = instance.getParameter(p);
         if (v >= 0.0f && v <= 1.0f && !sameBits(got, v) && !warnedRoundTrip) {
            warnedRoundTrip = true;
            findings.warn(
                format("parameter %d set to %g reads back %g", p, double(v), double(got)));
         }
         if (i % kProcessEvery == kProcessEvery - 1) {
            const std::string problem = processBlock(instance, random, set, i);
            if (!problem.empty()) {
               findings.fail(
                   format("after parameter %d was set to %g: %s", p, double(v), problem.c_str()));
            }
         }
      }
   }
   // Whatever was sent before, ordinary values must work again.
   for (int32_t p = 0; p < params; ++p) {
      set[size_t(p)] = float(p % 4 + 1) / 4.0f;
      instance.setParameter(p, set[size_t(p)]);
   }
   const std::string problem = processBlock(instance, random, set, 0);
   if (!problem.empty()) findings.fail("after the awkward values, with ordinary ones: " + problem);
   return findings.result(format("%lld set/get calls on each of %d parameters, %zu values incl. "
                                 "NaN, infinities, denormals; processing in between",
                                 (long long)calls, params, values.size()));
}

CheckResult badIndicesChangeNothing(const CheckContext& context) {
   auto module = loadPlugin(context);
   PluginInstance instance(module);
   Random random(context.seed);
   Findings findings;
   const int32_t params = std::min(instance.record().numParams, kMaxParams);
   std::vector<float> set(static_cast<size_t>(params));
   for (int32_t p = 0; p < params; ++p) {
      set[size_t(p)] = float(p % 3 + 1) / 4.0f;
      instance.setParameter(p, set[size_t(p)]);
   }
   instance.start();
   const auto& values = awkwardValues();
   const int64_t calls = context.scaled(kCallsPerParameter, 100);
   bool warnedNonzero = false;
   for (int32_t bad : badIndices(instance.record().numParams)) {
      for (int64_t i = 0; i < calls && !findings.failed(); ++i) {
         const float v = values[size_t(i) % values.size()];
         instance.setParameter(bad, v);
         const float got = instance.getParameter(bad);
         if (got != 0.0f && !warnedNonzero) {
            warnedNonzero = true;
            findings.warn(format("getParameter(%d) answers %g, not 0", bad, double(got)));
         }
         for (int32_t p = 0; p < params; ++p) {
            const float now = instance.getParameter(p);
            if (!sameBits(now, set[size_t(p)])) {
               findings.fail(format("setParameter(%d, %g) changed parameter %d from %g to %g", bad,
                                    double(v), p, double(set[size_t(p)]), double(now)));
               break;
            }
         }
         if (i % kProcessEvery == kProcessEvery - 1) {
            const std::string problem = processBlock(instance, random, set, i);
            if (!problem.empty()) {
               findings.fail(
                   format("after setParameter(%d, %g): %s", bad, double(v), problem.c_str()));
            }
         }
      }
   }
   return findings.result(format("%lld set/get calls on each of indices -1, %d, INT32_MIN and "
                                 "INT32_MAX changed nothing",
                                 (long long)calls, instance.record().numParams));
}

} // namespace

std::vector<Check> parameterChecks() {
   return {
       {"parameters.values",
        "100,000 set/get calls per parameter with 0, -0, 1, denormals, +-1e30, infinities, NaN, "
        "...",
        awkwardValuesRoundTrip},
       {"parameters.bad-index",
        "set/get with indices -1, count, INT32_MIN, INT32_MAX change no parameter",
        badIndicesChangeNothing},
   };
}

} // namespace plughost::validate
