// SPDX-License-Identifier: MIT
// Parameters: every awkward value a host may send, and indices that name no parameter, many
// times over and interleaved with processing.
#include "tools/hostlib/plugin_instance.h"
#include "tools/validate/check.h"
#include "tools/validate/check_support.h"

#include <algorithm>
#include <cmath>

namespace plughost::validate {
namespace {

// Parameters beyond this many are not all exercised: a host cycles through the first ones.
constexpr int32_t kMaxParams = 64;
constexpr int64_t kCallsPerParameter = 100000;
constexpr int64_t kProcessEvery = 997; // calls between two processed blocks
constexpr size_t kBlock = 64;

// Values a host sends: the normalised range only, its ends, its middle and the smallest steps.
const std::vector<float>& hostValues() {
   static const std::vector<float> values = {0.0f,  1.0f,      0.5f, 0.25f, 0.75f,
                                             1e-6f, 0.999999f, 0.1f, 0.9f,  0.333f};
   return values;
}

// Processes one block, in alternating precision; output must stay finite while the values set
// are finite.
std::string processBlock(PluginInstance& instance, AudioThread& audio, Random& random,
                         const std::vector<float>& set, int64_t call) {
   const bool finite =
       std::all_of(set.begin(), set.end(), [](float v) { return std::isfinite(v); });
   if (call % 2 && instance.canProcessDouble()) {
      return processNoise<double>(instance, audio, kBlock, random, finite);
   }
   return processNoise<float>(instance, audio, kBlock, random, finite);
}

// Host level: values in 0 to 1, as hosts send them. Hostile: also NaN, infinities, huge and
// negative values, which must not break processing once ordinary values are back.
CheckResult awkwardValuesRoundTrip(const CheckContext& context) {
   auto module = loadPlugin(context);
   PluginInstance instance(module, checkSettings(44100.0f, int32_t(kBlock)));
   AudioThread audio;
   Random random(context.seed);
   Findings findings;
   const int32_t params = std::min(instance.record().numParams, kMaxParams);
   if (params == 0) return {Status::skip, "the plug-in has no parameters"};
   std::vector<float> set(static_cast<size_t>(params));
   for (int32_t p = 0; p < params; ++p)
      set[size_t(p)] = instance.getParameter(p);
   instance.start();
   const bool hostile = context.atLeast(Level::hostile);
   const auto& values = hostile ? awkwardValues() : hostValues();
   const int64_t calls = context.atLeast(Level::strict) ? context.scaled(kCallsPerParameter, 100)
                                                        : context.scaled(1000, 50);
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
                format("parameter %d set to %.9g reads back %.9g", p, double(v), double(got)));
         }
         if (i % kProcessEvery == kProcessEvery - 1) {
            const std::string problem = processBlock(instance, audio, random, set, i);
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
   const std::string problem = processBlock(instance, audio, random, set, 0);
   if (!problem.empty()) findings.fail("after all those values, with ordinary ones: " + problem);
   return findings.result(format("%lld set/get calls on each of %d parameters, %zu values%s; "
                                 "processing in between",
                                 (long long)calls, params, values.size(),
                                 hostile ? " incl. NaN, infinities, denormals" : " in 0 to 1"));
}

CheckResult badIndicesChangeNothing(const CheckContext& context) {
   auto module = loadPlugin(context);
   PluginInstance instance(module, checkSettings(44100.0f, int32_t(kBlock)));
   AudioThread audio;
   Random random(context.seed);
   Findings findings;
   const int32_t params = std::min(instance.record().numParams, kMaxParams);
   std::vector<float> set(static_cast<size_t>(params));
   for (int32_t p = 0; p < params; ++p) {
      instance.setParameter(p, float(p % 3 + 1) / 4.0f);
      set[size_t(p)] = instance.getParameter(p);
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
            const std::string problem = processBlock(instance, audio, random, set, i);
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
        "set/get calls with processing between: values in 0 to 1 (1,000 per parameter; 100,000 "
        "from strict on); hostile: also NaN, infinities, +-1e30, -0, denormals",
        Level::host, Severity::failsOrWarns, awkwardValuesRoundTrip},
       {"parameters.bad-index",
        "set/get with indices -1, count, INT32_MIN, INT32_MAX change no parameter", Level::hostile,
        Severity::failsOrWarns, badIndicesChangeNothing},
   };
}

} // namespace plughost::validate
