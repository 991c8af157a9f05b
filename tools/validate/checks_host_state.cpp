// SPDX-License-Identifier: MIT
// Host state: no call may leave the floating-point control settings or the locale of the
// calling thread changed. A host's own arithmetic and number formatting depend on both.
#include "tools/hostlib/plugin_instance.h"
#include "tools/validate/check.h"
#include "tools/validate/check_support.h"
#include "tools/validate/command_table.h"

#include <cfenv>
#include <clocale>
#include <cstring>
#include <functional>

#include <locale.h>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#define PLUGHOST_X86 1
#endif

namespace plughost::validate {
namespace {

struct FpuState {
   int rounding = 0;
   int trapped = 0;    // exceptions that trap (fegetexcept)
   unsigned x87 = 0;   // x87 control word
   unsigned mxcsr = 0; // MXCSR without its sticky exception flags
   bool operator==(const FpuState&) const = default;
};

FpuState fpuState() {
   FpuState s;
   s.rounding = fegetround();
   s.trapped = fegetexcept();
#ifdef PLUGHOST_X86
   unsigned short cw = 0;
   __asm__ volatile("fnstcw %0" : "=m"(cw));
   s.x87 = cw;
   s.mxcsr = _mm_getcsr() & ~0x3Fu;
#endif
   return s;
}

std::string describe(const FpuState& s) {
   return format("rounding %d, traps 0x%x, x87 control 0x%04x, MXCSR 0x%04x", s.rounding,
                 unsigned(s.trapped), s.x87, s.mxcsr);
}

// Runs calls one by one and compares the thread's state before and after each. A change is
// reported with the call that made it and undone, so that the next call starts clean.
class Probe {
public:
   enum Watch { fpu, locale };
   Probe(Findings& findings, Watch watch, std::string setting)
       : findings_(findings), watch_(watch), setting_(std::move(setting)) {}

   void operator()(const std::string& call, const std::function<void()>& body) {
      fenv_t env;
      fegetenv(&env);
      const FpuState fpu = fpuState();
      const std::string locale = std::setlocale(LC_ALL, nullptr);
      const locale_t threadLocale = uselocale(nullptr);
      body();
      ++calls_;
      const FpuState fpuAfter = fpuState();
      if (watch_ == Watch::fpu && !(fpuAfter == fpu)) {
         findings_.fail(format("%s changed the floating-point control (%s) from %s to %s",
                               call.c_str(), setting_.c_str(), describe(fpu).c_str(),
                               describe(fpuAfter).c_str()));
         fesetenv(&env);
#ifdef PLUGHOST_X86
         _mm_setcsr(fpu.mxcsr | (_mm_getcsr() & 0x3Fu));
#endif
      }
      const std::string localeAfter = std::setlocale(LC_ALL, nullptr);
      if (watch_ == Watch::locale && localeAfter != locale) {
         findings_.fail(format("%s changed the locale (%s) from '%s' to '%s'", call.c_str(),
                               setting_.c_str(), locale.c_str(), localeAfter.c_str()));
         std::setlocale(LC_ALL, locale.c_str());
      }
      if (watch_ == Watch::locale && uselocale(nullptr) != threadLocale) {
         findings_.fail(
             format("%s changed the thread's locale (%s)", call.c_str(), setting_.c_str()));
         uselocale(threadLocale);
      }
   }
   int64_t calls() const {
      return calls_;
   }

private:
   Findings& findings_;
   Watch watch_;
   std::string setting_;
   int64_t calls_ = 0;
};

// A bare record with the dispatch interface that command_table's helpers use.
struct Bare {
   AEffect* e;
   intptr_t dispatch(int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr,
                     float opt = 0.0f) {
      return e->dispatcher(e, opcode, index, value, ptr, opt);
   }
};

template <class T>
void processCalls(Probe& probe, Bare bare, Random& random) {
   const AEffect& r = *bare.e;
   for (int32_t frames : {0, 1, 64, 1024}) {
      GuardedChannels<T> in(r.numInputs, size_t(frames)), out(r.numOutputs, size_t(frames));
      in.fillRandom(random);
      const char* name = sizeof(T) == 4 ? "processReplacing" : "processDoubleReplacing";
      if (sizeof(T) == 8 && !((r.flags & effFlagsCanDoubleReplacing) && r.processDoubleReplacing)) {
         return;
      }
      probe(format("%s (%d frames)", name, frames), [&] {
         if constexpr (sizeof(T) == 4) {
            bare.e->processReplacing(bare.e, in.pointers(), out.pointers(), frames);
         } else {
            bare.e->processDoubleReplacing(bare.e, in.pointers(), out.pointers(), frames);
         }
      });
   }
}

// One instance's whole life, every call probed.
// Hostile adds indices that name no parameter, values outside 0 to 1 and every known command.
void wholeLife(const PluginModule& module, Probe& probe, Random& random, bool hostile) {
   AEffect* effect = nullptr;
   probe("the entry", [&] { effect = module.entry()(&PluginInstance::hostCallback); });
   if (!effect || effect->magic != kEffectMagic)
      throw std::runtime_error("the entry returned no instance");
   Bare bare{effect};
   probe("effOpen", [&] { bare.dispatch(effOpen); });
   probe("effSetSampleRate", [&] { bare.dispatch(effSetSampleRate, 0, 0, nullptr, 48000.0f); });
   probe("effSetBlockSize", [&] { bare.dispatch(effSetBlockSize, 0, 1024); });
   probe("effMainsChanged 1", [&] { bare.dispatch(effMainsChanged, 0, 1); });
   probe("effStartProcess", [&] { bare.dispatch(effStartProcess); });
   processCalls<float>(probe, bare, random);
   processCalls<double>(probe, bare, random);
   std::vector<int32_t> indices;
   if (hostile) indices = badIndices(effect->numParams);
   for (int32_t p = 0; p < std::min(effect->numParams, 64); ++p)
      indices.push_back(p);
   for (int32_t index : indices) {
      for (float v : hostile ? awkwardValues() : std::vector<float>{0.0f, 0.5f, 1.0f}) {
         probe(format("setParameter(%d, %g)", index, double(v)),
               [&] { effect->setParameter(effect, index, v); });
         probe(format("getParameter(%d)", index),
               [&] { (void)effect->getParameter(effect, index); });
         for (const TextCommand& command : textCommands()) {
            if (!command.perParameter) continue;
            GuardedText text(command.allowed);
            probe(format("%s(%d)", command.name, index),
                  [&] { bare.dispatch(command.opcode, index, 0, text.text()); });
         }
      }
      processCalls<float>(probe, bare, random);
   }
   for (int32_t opcode = 0; hostile && opcode < kFirstUnknownOpcode; ++opcode) {
      if (opcode == effClose || opcode == effMainsChanged) continue;
      std::string ignored;
      probe(format("opcode %d", opcode),
            [&] { callKnown(bare, knownCommand(opcode), 0, 0, 44100.0f, 0xA5, ignored); });
   }
   for (int32_t opcode : {-1, 80, 1000}) {
      if (!hostile) break;
      probe(format("opcode %d", opcode), [&] { bare.dispatch(opcode); });
   }
   probe("effMainsChanged 1", [&] { bare.dispatch(effMainsChanged, 0, 1); });
   processCalls<float>(probe, bare, random);
   probe("effStopProcess", [&] { bare.dispatch(effStopProcess); });
   probe("effMainsChanged 0", [&] { bare.dispatch(effMainsChanged, 0, 0); });
   probe("effClose", [&] { bare.dispatch(effClose); });
}

CheckResult floatingPointControl(const CheckContext& context) {
   auto module = loadPlugin(context);
   Random random(context.seed);
   Findings findings;
   int64_t calls = 0;
   {
      Probe probe(findings, Probe::fpu, "host in the default mode");
      wholeLife(*module, probe, random, context.atLeast(Level::hostile));
      calls += probe.calls();
   }
#ifdef PLUGHOST_X86
   {
      // Many hosts flush denormals themselves; a plug-in must not clear that either.
      _mm_setcsr(_mm_getcsr() | 0x8040u);
      Probe probe(findings, Probe::fpu, "host with flush-to-zero and denormals-are-zero");
      wholeLife(*module, probe, random, context.atLeast(Level::hostile));
      calls += probe.calls();
   }
#endif
   {
      fesetround(FE_TOWARDZERO);
      Probe probe(findings, Probe::fpu, "host rounding toward zero");
      wholeLife(*module, probe, random, context.atLeast(Level::hostile));
      calls += probe.calls();
   }
   return findings.result(
       format("%lld calls, each with the floating-point control unchanged", (long long)calls));
}

CheckResult locale(const CheckContext& context) {
   auto module = loadPlugin(context);
   Random random(context.seed);
   Findings findings;
   int64_t calls = 0;
   std::vector<std::string> settings = {"C"};
   for (const char* name : {"C.UTF-8", "POSIX"}) {
      if (std::setlocale(LC_ALL, name)) settings.push_back(name);
   }
   for (const std::string& name : settings) {
      std::setlocale(LC_ALL, name.c_str());
      Probe probe(findings, Probe::locale, "host locale " + name);
      wholeLife(*module, probe, random, context.atLeast(Level::hostile));
      calls += probe.calls();
   }
   // A thread with a locale of its own, as a host's audio thread may have.
   const locale_t own = newlocale(LC_ALL_MASK, "C", nullptr);
   if (own) {
      const locale_t previous = uselocale(own);
      Probe probe(findings, Probe::locale, "thread locale of its own");
      wholeLife(*module, probe, random, context.atLeast(Level::hostile));
      calls += probe.calls();
      uselocale(previous);
      freelocale(own);
   }
   return findings.result(format("%lld calls under %zu locales, each leaving the locale as it was",
                                 (long long)calls, settings.size() + (own ? 1 : 0)));
}

} // namespace

std::vector<Check> hostStateChecks() {
   return {
       {"host-state.fpu",
        "no call changes the floating-point control word, MXCSR, rounding or traps", Level::strict,
        Severity::fails, floatingPointControl},
       {"host-state.locale", "no call changes the process or thread locale", Level::strict,
        Severity::fails, locale},
   };
}

} // namespace plughost::validate
