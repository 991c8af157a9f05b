// SPDX-License-Identifier: MIT
// State: what a host saves with a project (parameters, and the chunk where the record's flag says
// the plug-in keeps one) restores into a fresh instance; program changes keep parameters sane.
#include "tools/hostlib/plugin_instance.h"
#include "tools/validate/check.h"
#include "tools/validate/check_support.h"

#include <algorithm>
#include <cmath>

namespace plughost::validate {
namespace {

constexpr int32_t kMaxParams = 256;
constexpr int32_t kMaxPrograms = 128;

struct Saved {
   std::vector<float> parameters;
   std::vector<unsigned char> chunk; // empty without the chunk flag
};

bool hasChunks(const AEffect& r) {
   return (r.flags & effFlagsProgramChunks) != 0;
}

// What a host stores: every parameter's value and, for a plug-in with chunks, the bank chunk.
Saved save(PluginInstance& p) {
   Saved s;
   const int32_t params = std::min(p.record().numParams, kMaxParams);
   for (int32_t i = 0; i < params; ++i)
      s.parameters.push_back(p.getParameter(i));
   if (hasChunks(p.record())) {
      void* data = nullptr;
      const intptr_t size = p.dispatch(effGetChunk, 0, 0, &data);
      if (size > 0 && data) {
         const auto* bytes = static_cast<const unsigned char*>(data);
         s.chunk.assign(bytes, bytes + size);
      }
   }
   return s;
}

// What a host does when it opens the project: the chunk if there is one, else the parameters;
// then it plays a block, which is where some plug-ins apply what was restored.
void restore(PluginInstance& p, Saved& s) {
   if (!s.chunk.empty()) {
      p.dispatch(effSetChunk, 0, intptr_t(s.chunk.size()), s.chunk.data());
   } else {
      for (size_t i = 0; i < s.parameters.size(); ++i)
         p.setParameter(int32_t(i), s.parameters[i]);
   }
   AudioThread audio;
   GuardedChannels<float> in(p.record().numInputs, 512), out(p.record().numOutputs, 512);
   for (int32_t c = 0; c < in.channelCount(); ++c)
      std::fill(in.channel(c), in.channel(c) + 512, 0.0f);
   const bool wasRunning = p.running();
   if (!wasRunning) p.start();
   audio.run([&] { p.process(in.pointers(), out.pointers(), 512); });
   if (!wasRunning) p.stop();
}

std::string parameterDifference(const Saved& a, const Saved& b) {
   for (size_t i = 0; i < a.parameters.size() && i < b.parameters.size(); ++i) {
      if (!sameBits(a.parameters[i], b.parameters[i])) {
         return format("parameter %zu was %g when saved and is %g after restoring", i,
                       double(a.parameters[i]), double(b.parameters[i]));
      }
   }
   return {};
}

CheckResult saveAndRestore(const CheckContext& context) {
   auto module = loadPlugin(context);
   Random random(context.seed);
   Findings findings;
   PluginInstance original(module, checkSettings());
   const AEffect& r = original.record();
   if (r.numParams == 0 && !hasChunks(r)) {
      return {Status::skip, "the plug-in has neither parameters nor a chunk to save"};
   }
   // Settings a user might have made: every parameter somewhere in its range.
   for (int32_t i = 0; i < std::min(r.numParams, kMaxParams); ++i)
      original.setParameter(i, float(random.below(1001)) / 1000.0f);
   Saved first = save(original);
   if (hasChunks(r) && first.chunk.empty()) {
      findings.fail("the chunk flag is set but effGetChunk gave no data");
   }
   PluginInstance restored(module, checkSettings());
   restore(restored, first);
   const Saved second = save(restored);
   const std::string difference = parameterDifference(first, second);
   if (!difference.empty()) findings.fail(difference);
   if (!first.chunk.empty() && first.chunk != second.chunk) {
      findings.warn(format("saving the restored instance gives a different chunk (%zu bytes "
                           "against %zu)",
                           second.chunk.size(), first.chunk.size()));
   }
   // Where the plug-in is deterministic, the restored instance also sounds the same.
   if (difference.empty()) {
      AudioThread audio;
      PluginInstance twin(module, checkSettings());
      restore(twin, first);
      // The original hears its own saved values too, so that values that do not survive a
      // set and get exactly (quantised or mapped parameters) make no difference here.
      restore(original, first);
      original.start();
      restored.start();
      twin.start();
      auto render = [&](PluginInstance& p) {
         GuardedChannels<float> in(r.numInputs, 512), out(r.numOutputs, 512);
         Random noise(context.seed + 7);
         Notes notes(256);
         std::vector<float> all;
         for (int b = 0; b < 16; ++b) {
            in.fillRandom(noise);
            processAndCheck<float>(p, audio, in, out, 512, true,
                                   isInstrument(r) ? &notes : nullptr);
            for (int32_t c = 0; c < r.numOutputs; ++c)
               all.insert(all.end(), out.channel(c), out.channel(c) + 512);
         }
         return all;
      };
      const auto a = render(restored), b = render(twin), o = render(original);
      const bool deterministic = std::equal(a.begin(), a.end(), b.begin(), b.end(),
                                            [](float x, float y) { return sameBits(x, y); });
      if (deterministic && !std::equal(a.begin(), a.end(), o.begin(), o.end(),
                                       [](float x, float y) { return sameBits(x, y); })) {
         findings.warn("the restored instance sounds different from the one saved");
      }
   }
   return findings.result(format(
       "%zu parameters%s saved and restored into a fresh instance", first.parameters.size(),
       first.chunk.empty() ? "" : format(" and a %zu-byte chunk", first.chunk.size()).c_str()));
}

CheckResult programs(const CheckContext& context) {
   auto module = loadPlugin(context);
   Findings findings;
   PluginInstance p(module, checkSettings());
   const AEffect& r = p.record();
   if (r.numPrograms <= 1) return {Status::skip, "the plug-in has no programs to change between"};
   const int32_t count = std::min(r.numPrograms, kMaxPrograms);
   const int32_t params = std::min(r.numParams, kMaxParams);
   bool outOfRange = false;
   for (int32_t program = 0; program < count; ++program) {
      p.dispatch(effBeginSetProgram);
      p.dispatch(effSetProgram, 0, program);
      p.dispatch(effEndSetProgram);
      const intptr_t now = p.dispatch(effGetProgram);
      if (now != program) {
         findings.warn(
             format("after effSetProgram %d, effGetProgram answers %lld", program, (long long)now));
      }
      for (int32_t i = 0; i < params; ++i) {
         const float v = p.getParameter(i);
         if (!std::isfinite(v)) {
            findings.fail(format("program %d leaves parameter %d at %g", program, i, double(v)));
         } else if ((v < 0.0f || v > 1.0f) && !outOfRange) {
            outOfRange = true;
            findings.warn(format("program %d leaves parameter %d at %g, outside 0 to 1", program, i,
                                 double(v)));
         }
      }
   }
   return findings.result(format("%d programs keep every parameter finite", count));
}

} // namespace

std::vector<Check> stateChecks() {
   return {
       {"state.save-restore",
        "parameters and the chunk (with the chunk flag) restore into a fresh instance; saving "
        "again gives the same (warn for the chunk and the output)",
        Level::host, Severity::failsOrWarns, saveAndRestore},
       {"state.programs", "every program (up to 128) leaves every parameter finite", Level::host,
        Severity::failsOrWarns, programs},
   };
}

} // namespace plughost::validate
