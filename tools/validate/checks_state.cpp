// SPDX-License-Identifier: MIT
// State: what a host saves with a project (parameters, and the chunk where the record's flag says
// the plug-in keeps one) restores into a fresh instance; program changes keep parameters sane.
#include "tools/hostlib/plugin_instance.h"
#include "tools/validate/check.h"
#include "tools/validate/check_support.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

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

// Silent blocks every instance plays before it is looked at or listened to, so that parameter
// smoothing after a set or a restore has ended in both.
constexpr int kSettleBlocks = 24;
constexpr int32_t kBlock = 512;

void playSilence(PluginInstance& p, int blocks) {
   AudioThread audio;
   GuardedChannels<float> in(p.record().numInputs, kBlock), out(p.record().numOutputs, kBlock);
   for (int32_t c = 0; c < in.channelCount(); ++c)
      std::fill(in.channel(c), in.channel(c) + kBlock, 0.0f);
   const bool wasRunning = p.running();
   if (!wasRunning) p.start();
   for (int b = 0; b < blocks; ++b)
      audio.run([&] { p.process(in.pointers(), out.pointers(), kBlock); });
   if (!wasRunning) p.stop();
}

// What a host does when it opens the project: the chunk if there is one, else the parameters;
// then it plays, which is where some plug-ins apply what was restored.
void restore(PluginInstance& p, Saved& s) {
   if (!s.chunk.empty()) {
      p.dispatch(effSetChunk, 0, intptr_t(s.chunk.size()), s.chunk.data());
   } else {
      for (size_t i = 0; i < s.parameters.size(); ++i)
         p.setParameter(int32_t(i), s.parameters[i]);
   }
   playSilence(p, kSettleBlocks);
}

// What a user sees of every parameter: its display text, and its value for plug-ins that give
// no text.
struct Look {
   std::vector<float> values;
   std::vector<std::string> displays;
};

Look look(PluginInstance& p) {
   Look l;
   const int32_t params = std::min(p.record().numParams, kMaxParams);
   for (int32_t i = 0; i < params; ++i) {
      l.values.push_back(p.getParameter(i));
      l.displays.push_back(p.parameterDisplay(i));
   }
   return l;
}

std::string trimmed(const std::string& text) {
   const size_t first = text.find_first_not_of(" \t");
   if (first == std::string::npos) return {};
   return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A number that moves by more than 0.1% of itself.
bool numberMoved(double before, double after) {
   if (std::isnan(before) || std::isnan(after)) return std::isnan(before) != std::isnan(after);
   return std::fabs(after - before) > 0.001 * std::fabs(before);
}

// Whether a user would see a parameter change from `before` to `after`: a word that changes, or
// a number (with the same words around it) that moves beyond rounding.
bool displayChanged(const std::string& before, const std::string& after) {
   const std::string a = trimmed(before), b = trimmed(after);
   if (a == b) return false;
   char *endA = nullptr, *endB = nullptr;
   const double x = std::strtod(a.c_str(), &endA), y = std::strtod(b.c_str(), &endB);
   if (endA == a.c_str() || endB == b.c_str()) return true;
   return trimmed(endA) != trimmed(endB) || numberMoved(x, y);
}

// Empty when `after` shows every parameter as `before` does; else the first that changed, with
// both texts.
std::string visibleChange(PluginInstance& p, const Look& before, const Look& after) {
   for (size_t i = 0; i < before.values.size() && i < after.values.size(); ++i) {
      const bool texts = !before.displays[i].empty() || !after.displays[i].empty();
      if (texts ? displayChanged(before.displays[i], after.displays[i])
                : numberMoved(before.values[i], after.values[i])) {
         const std::string shown =
             texts
                 ? format("\"%s\" where it showed \"%s\"", after.displays[i].c_str(),
                          before.displays[i].c_str())
                 : format("%g where it was %g", double(after.values[i]), double(before.values[i]));
         return format("parameter %zu (%s) shows %s", i, p.parameterName(int32_t(i)).c_str(),
                       shown.c_str());
      }
   }
   return {};
}

// A few blocks of noise (notes for instruments) through a started instance, all channels.
std::vector<float> listen(PluginInstance& p, uint64_t seed) {
   const AEffect& r = p.record();
   AudioThread audio;
   GuardedChannels<float> in(r.numInputs, kBlock), out(r.numOutputs, kBlock);
   Random noise(seed);
   Notes notes(kBlock * 4);
   std::vector<float> all;
   p.start();
   for (int b = 0; b < 8; ++b) {
      in.fillRandom(noise);
      processAndCheck<float>(p, audio, in, out, kBlock, false, isInstrument(r) ? &notes : nullptr);
      for (int32_t c = 0; c < r.numOutputs; ++c)
         all.insert(all.end(), out.channel(c), out.channel(c) + kBlock);
   }
   p.stop();
   return all;
}

// How loud the difference between two renderings is against the louder, in dB (-inf: none).
double differenceDb(const std::vector<float>& a, const std::vector<float>& b) {
   double difference = 0, energyA = 0, energyB = 0;
   for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
      const double x = a[i], y = b[i];
      if (sameBits(a[i], b[i])) continue;
      difference += (x - y) * (x - y);
      energyA += x * x;
      energyB += y * y;
   }
   if (difference == 0) return -HUGE_VAL;
   const double energy = std::max(energyA, energyB);
   if (energy == 0 || !std::isfinite(difference)) return HUGE_VAL;
   return 10.0 * std::log10(difference / energy);
}

// A difference in sound this far below the signal is rounding no one hears.
constexpr double kInaudibleDb = -100.0;

// One round as a user makes it: `change` sets something on a fresh instance, the host saves the
// project and opens it again in a fresh instance, and the user looks and listens. Empty when
// nothing a user notices changed; else what did, in the user's terms.
template <class Change>
std::string round(const std::shared_ptr<PluginModule>& module, const CheckContext& context,
                  Change change, Findings& findings, double& initialStateDb) {
   PluginInstance original(module, checkSettings());
   change(original);
   playSilence(original, kSettleBlocks);
   const Look before = look(original);
   Saved saved = save(original);
   if (hasChunks(original.record()) && saved.chunk.empty()) {
      findings.fail("the chunk flag is set but effGetChunk gave no data");
   }
   PluginInstance restored(module, checkSettings());
   restore(restored, saved);
   const Look after = look(restored);
   std::string problem = visibleChange(restored, before, after);
   if (!problem.empty()) return "after restoring, " + problem;

   // After one round the state is a fixed point: a second save and restore moves nothing.
   Saved again = save(restored);
   PluginInstance second(module, checkSettings());
   restore(second, again);
   problem = visibleChange(second, after, look(second));
   if (!problem.empty()) return "after a second save and restore, " + problem;

   // Where the plug-in is deterministic, the restored instance also sounds as the original.
   PluginInstance twin(module, checkSettings());
   restore(twin, saved);
   const auto heard = listen(restored, context.seed + 7);
   if (differenceDb(heard, listen(twin, context.seed + 7)) != -HUGE_VAL) return {};
   const double db = differenceDb(listen(original, context.seed + 7), heard);
   if (db < kInaudibleDb) return {};
   // Some plug-ins start in a state their own parameters do not describe, so that setting them
   // to the values they report changes the sound. The restore loses nothing then: the original
   // given its own saved values sounds as the restored one.
   PluginInstance resaved(module, checkSettings());
   change(resaved);
   restore(resaved, saved);
   if (differenceDb(listen(resaved, context.seed + 7), heard) < kInaudibleDb) {
      initialStateDb = std::max(initialStateDb, db);
      return {};
   }
   return format("the restored instance sounds different from the one saved (the difference at "
                 "%.1f dB of the signal)",
                 db);
}

CheckResult saveAndRestore(const CheckContext& context) {
   auto module = loadPlugin(context);
   Random random(context.seed);
   Findings findings;
   int32_t params = 0;
   bool chunks = false;
   {
      PluginInstance probe(module, checkSettings());
      params = std::min(probe.record().numParams, kMaxParams);
      chunks = hasChunks(probe.record());
   }
   if (params == 0 && !chunks) {
      return {Status::skip, "the plug-in has neither parameters nor a chunk to save"};
   }
   // One parameter at a time from the defaults, as a user turns one control; a plug-in that
   // links parameters moves the others itself. Spread over the parameters when there are many.
   const int32_t rounds = int32_t(std::min<int64_t>(params, context.scaled(32, 4)));
   double initialStateDb = -HUGE_VAL;
   for (int32_t k = 0; k < rounds; ++k) {
      const int32_t index = int32_t(int64_t(k) * params / rounds);
      const float value = float(random.below(1001)) / 1000.0f;
      const std::string problem = round(
          module, context, [&](PluginInstance& p) { p.setParameter(index, value); }, findings,
          initialStateDb);
      if (!problem.empty()) {
         PluginInstance named(module, checkSettings());
         findings.fail(format("parameter %d (%s) set to %g: %s", index,
                              named.parameterName(index).c_str(), double(value), problem.c_str()));
      }
   }
   // Every parameter at once over-determines plug-ins whose parameters are linked, which then
   // settle elsewhere: worth knowing, but no user sets everything at random.
   if (params > 1 && !findings.failed()) {
      const std::string problem = round(
          module, context,
          [&](PluginInstance& p) {
             for (int32_t i = 0; i < params; ++i)
                p.setParameter(i, float(random.below(1001)) / 1000.0f);
          },
          findings, initialStateDb);
      if (!problem.empty()) findings.warn("with every parameter set at once: " + problem);
   }
   if (initialStateDb > -HUGE_VAL) {
      findings.warn(format("a fresh instance sounds different (up to %.1f dB) once it is given the "
                           "values it reports: its initial state is not what its parameters say",
                           initialStateDb));
   }
   return findings.result(format("%d rounds of one parameter changed, saved%s and restored into a "
                                 "fresh instance; displays, a second round and the sound agree",
                                 rounds, chunks ? " (chunk)" : ""));
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
        "one parameter at a time, saved (the chunk, with its flag) and restored into a fresh "
        "instance, shows the same texts, sounds the same and stays put (all at once: warn)",
        Level::host, Severity::failsOrWarns, saveAndRestore},
       {"state.programs", "every program (up to 128) leaves every parameter finite", Level::host,
        Severity::failsOrWarns, programs},
   };
}

} // namespace plughost::validate
