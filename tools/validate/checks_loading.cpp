// SPDX-License-Identifier: MIT
// Loading: what the library exports, how its entry behaves, and the record it returns.
#include "tools/hostlib/plugin_instance.h"
#include "tools/validate/check.h"
#include "tools/validate/check_support.h"
#include "tools/validate/elf_symbols.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <set>

#include <dlfcn.h>

namespace plughost::validate {
namespace {

constexpr const char* kEntryNames[] = {"VSTPluginMain", "main"};
constexpr double kEntryLimitMs = 100.0;

// Hosts look for either name, so a plug-in that exports only one (many export only `main`) is
// fine at host level; strict fails the missing one. Names besides the entry interpose between
// plug-ins loaded into one host, which the strict level fails.
CheckResult exportsOnlyTheEntry(const CheckContext& context) {
   const std::vector<ExportedSymbol> symbols = exportedSymbolsOfFile(context.pluginPath);
   Findings findings;
   const bool strict = context.atLeast(Level::strict);
   std::set<std::string> extra;
   for (const auto& s : symbols)
      extra.insert(s.name);
   for (const char* name : kEntryNames) {
      if (extra.erase(name) == 0 && strict) findings.fail(format("does not export %s", name));
   }
   if (!extra.empty() && strict) {
      std::string list;
      size_t shown = 0;
      for (const auto& name : extra) {
         if (shown++ == 5) {
            list += ", ...";
            break;
         }
         list += (list.empty() ? "" : ", ") + name;
      }
      findings.fail(
          format("exports %zu name(s) besides the entry: %s", extra.size(), list.c_str()));
   }
   auto addressOf = [&](const char* name) {
      auto it = std::find_if(symbols.begin(), symbols.end(),
                             [&](const ExportedSymbol& s) { return s.name == name; });
      return it == symbols.end() ? 0 : it->address;
   };
   if (addressOf("VSTPluginMain") && addressOf("main") &&
       addressOf("VSTPluginMain") != addressOf("main")) {
      findings.warn("VSTPluginMain and main are different functions");
   }
   if (!addressOf("VSTPluginMain") && !addressOf("main")) {
      findings.fail("exports neither VSTPluginMain nor main, so no host finds its entry");
   }
   if (!strict) {
      return findings.result(
          format("exports the entry; %zu other names (checked at --level strict)", extra.size()));
   }
   return findings.result("exports exactly VSTPluginMain and main");
}

CheckResult entryIsFast(const CheckContext& context) {
   auto module = loadPlugin(context);
   Findings findings;
   double first = 0, slowest = 0;
   constexpr int kCalls = 10;
   for (int i = 0; i < kCalls; ++i) {
      const auto start = std::chrono::steady_clock::now();
      AEffect* effect = module->entry()(&PluginInstance::hostCallback);
      const double ms =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count();
      if (!effect) {
         findings.fail("the entry returned no instance");
         break;
      }
      effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
      if (i == 0) first = ms;
      slowest = std::max(slowest, ms);
   }
   if (slowest > kEntryLimitMs) {
      findings.warn(format("an entry call took %.1f ms (hosts scanning many plug-ins expect under "
                           "%.0f ms)",
                           slowest, kEntryLimitMs));
   }
   return findings.result(
       format("first call %.3f ms, slowest of %d %.3f ms", first, kCalls, slowest));
}

CheckResult entryWithoutCallback(const CheckContext& context) {
   auto module = loadPlugin(context);
   AEffect* effect = module->entry()(nullptr);
   if (!effect) return {Status::pass, "returned no instance"};
   effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
   return {Status::pass, "returned an instance, closed again"};
}

// A host that answers nothing, not even its version: the entry may refuse it or not, but must
// return either way, and a record it returns must close.
intptr_t refusingHost(AEffect*, int32_t, int32_t, intptr_t, void*, float) {
   return 0;
}

CheckResult refusedVersion(const CheckContext& context) {
   auto module = loadPlugin(context);
   AEffect* effect = module->entry()(&refusingHost);
   if (!effect) return {Status::pass, "returned no instance"};
   if (effect->magic == kEffectMagic && effect->dispatcher) {
      effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
   }
   return {Status::pass, "returned an instance, closed again"};
}

// The module a code address lies in, or null.
const void* moduleBase(const void* address) {
   Dl_info info{};
   return dladdr(address, &info) ? info.dli_fbase : nullptr;
}

template <class F>
const void* codeAddress(F f) {
   return reinterpret_cast<const void*>(f);
}

// What hosts rely on fails at every level: the magic, the functions a host calls, sane counts.
// What only the interface asks (reserved bytes zero, functions inside the plug-in's own
// library, an object pointer) is checked from --level strict on.
CheckResult recordIsSane(const CheckContext& context) {
   auto module = loadPlugin(context);
   const bool strict = context.atLeast(Level::strict);
   AEffect* effect = module->entry()(&PluginInstance::hostCallback);
   if (!effect) return {Status::fail, "the entry returned no instance"};
   Findings findings;
   const AEffect& r = *effect;
   if (r.magic != kEffectMagic) {
      // Nothing else in it can be trusted, not even its dispatcher.
      return {Status::fail, format("magic is 0x%08x, not 'VstP'", static_cast<uint32_t>(r.magic))};
   }
   const void* base = moduleBase(codeAddress(module->entry()));
   struct Function {
      const char* name;
      const void* address;
      bool required;
   };
   const Function functions[] = {
       {"dispatcher", codeAddress(r.dispatcher), true},
       {"setParameter", codeAddress(r.setParameter), true},
       {"getParameter", codeAddress(r.getParameter), true},
       {"processReplacing", codeAddress(r.processReplacing), true},
       {"processDoubleReplacing", codeAddress(r.processDoubleReplacing),
        (r.flags & effFlagsCanDoubleReplacing) != 0},
       {"process", codeAddress(r.process), false},
   };
   bool callable = true;
   for (const Function& f : functions) {
      if (!f.address) {
         if (f.required) {
            findings.fail(format("%s is null", f.name));
            callable = callable && std::strcmp(f.name, "dispatcher") != 0;
         }
         continue;
      }
      const void* owner = moduleBase(f.address);
      if (!owner && !f.required) {
         // Hosts call it only when the flags offer it, so whatever it holds harms no one.
         if (strict) findings.warn(format("%s points into no loaded library", f.name));
      } else if (!owner) {
         findings.fail(format("%s points into no loaded library", f.name));
         callable = callable && std::strcmp(f.name, "dispatcher") != 0;
      } else if (owner != base && strict) {
         // Hosts call it wherever it lives (some plug-ins keep their code in a second library).
         findings.warn(format("%s lives outside the plug-in's own library", f.name));
      }
   }
   auto inRange = [&](const char* name, int32_t v, int32_t max) {
      if (v < 0 || v > max) findings.fail(format("%s is %d (expected 0 to %d)", name, v, max));
   };
   inRange("numPrograms", r.numPrograms, 1 << 20);
   inRange("numParams", r.numParams, 1 << 20);
   inRange("numInputs", r.numInputs, 1024);
   inRange("numOutputs", r.numOutputs, 1024);
   inRange("initialDelay", r.initialDelay, 1 << 30);
   if (!(r.flags & effFlagsCanReplacing)) {
      strict ? findings.fail("effFlagsCanReplacing is not set")
             : findings.warn("effFlagsCanReplacing is not set");
   }
   constexpr int32_t kKnownFlags = effFlagsHasEditor | effFlagsHasClip | effFlagsHasVu |
                                   effFlagsCanMono | effFlagsCanReplacing | effFlagsProgramChunks |
                                   effFlagsIsSynth | effFlagsNoSoundInStop | effFlagsExtIsAsync |
                                   effFlagsExtHasBuffer | effFlagsCanDoubleReplacing;
   if ((r.flags & ~kKnownFlags) && strict) {
      findings.fail(format("reserved flag bits are set: 0x%08x",
                           static_cast<uint32_t>(r.flags & ~kKnownFlags)));
   }
   if (strict && (r.resvd1 != 0 || r.resvd2 != 0)) findings.fail("resvd1 or resvd2 is not zero");
   for (size_t i = 0; strict && i < sizeof r.future; ++i) {
      if (r.future[i] != 0) {
         findings.fail(format("reserved byte future[%zu] is 0x%02x, not zero", i,
                              static_cast<unsigned char>(r.future[i])));
         break;
      }
   }
   // The alignment gaps are reserved too.
   const auto* bytes = reinterpret_cast<const unsigned char*>(effect);
   const size_t gaps[][2] = {
       {sizeof(int32_t), offsetof(AEffect, dispatcher)},
       {offsetof(AEffect, flags) + sizeof(int32_t), offsetof(AEffect, resvd1)}};
   for (const auto& gap : gaps) {
      for (size_t i = gap[0]; strict && i < gap[1]; ++i) {
         if (bytes[i] != 0) findings.fail(format("alignment gap byte %zu is not zero", i));
      }
   }
   if (!r.object && strict) findings.warn("object is null");
   if (r.user && strict) findings.fail("user is set before the host set it");
   if (r.uniqueID == 0) findings.warn("uniqueID is 0");
   const std::string summary =
       format("%d in, %d out, %d programs, %d parameters, flags 0x%x", r.numInputs, r.numOutputs,
              r.numPrograms, r.numParams, static_cast<uint32_t>(r.flags));
   if (callable) effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
   return findings.result(summary);
}

} // namespace

std::vector<Check> loadingChecks() {
   return {
       {"load.exports",
        "exports VSTPluginMain or main; strict: both and nothing else (ELF dynamic symbols)",
        Level::host, Severity::failsOrWarns, exportsOnlyTheEntry},
       {"load.entry-time", "the entry returns an instance within 100 ms", Level::host,
        Severity::warns, entryIsFast},
       {"load.record",
        "magic, functions, counts; strict: reserved bytes zero, functions in the plug-in",
        Level::host, Severity::failsOrWarns, recordIsSane},
       {"load.null-callback", "the entry called with a null host callback is harmless",
        Level::hostile, Severity::fails, entryWithoutCallback},
       {"load.refused-version",
        "the entry asked by a host that answers 0 to everything returns cleanly", Level::hostile,
        Severity::fails, refusedVersion},
   };
}

} // namespace plughost::validate
