// SPDX-License-Identifier: MIT
// Concurrency: automation and a reading thread (parameters, texts) while the audio thread
// processes, as a host with an editor and automation lanes does.
#include "tools/validate/check.h"
#include "tools/validate/check_support.h"

#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>

namespace plughost::validate {
namespace {

constexpr size_t kBlock = 256;
constexpr float kAutomated[] = {0.25f, 0.5f, 0.75f, 1.0f};

template <class T>
std::string checkBlock(const GuardedChannels<T>& in, const GuardedChannels<T>& out) {
   std::string problem = out.damage("output");
   return problem.empty() ? unwrittenOrNotFinite(out, in.frames()) : problem;
}

CheckResult automationWhileProcessing(const CheckContext& context) {
   auto module = loadPlugin(context);
   PluginInstance effect(module, checkSettings(48000.0f, int32_t(kBlock)));
   const AEffect& r = effect.record();
   const int32_t params = std::min(r.numParams, 64);
   for (int32_t p = 0; p < params; ++p)
      effect.setParameter(p, 1.0f);
   effect.start();

   std::mutex lock;
   Findings findings;
   auto report = [&](std::string problem) {
      std::lock_guard<std::mutex> guard(lock);
      findings.fail(std::move(problem));
   };
   std::atomic<bool> done{false};
   std::atomic<int64_t> automated{0}, reads{0};

   std::thread automation([&] {
      size_t k = 0;
      while (!done.load(std::memory_order_relaxed) && params > 0) {
         effect.setParameter(int32_t(k % size_t(params)), kAutomated[k % std::size(kAutomated)]);
         ++k;
      }
      automated = int64_t(k);
   });
   std::thread reader([&] {
      int64_t n = 0;
      while (!done.load(std::memory_order_relaxed)) {
         for (int32_t p = 0; p < params; ++p) {
            const float v = effect.getParameter(p);
            if (!std::isfinite(v)) {
               report(format("getParameter(%d) read %g while automated", p, double(v)));
               done = true;
               return;
            }
            for (const TextCommand& command : textCommands()) {
               if (!command.perParameter && command.opcode != effGetProgramName) continue;
               GuardedText text(textRoom(command, context));
               bool touched = false;
               const std::string problem = runTextCommand(effect, command, p, text, touched);
               if (!problem.empty()) {
                  report(format("%s(%d) while processing: %s", command.name, p, problem.c_str()));
                  done = true;
                  return;
               }
            }
            ++n;
         }
      }
      reads = n;
   });

   Random random(context.seed);
   const int64_t blocks =
       context.atLeast(Level::strict) ? context.scaled(10000, 100) : context.scaled(2000, 100);
   GuardedChannels<float> in32(r.numInputs, kBlock), out32(r.numOutputs, kBlock);
   GuardedChannels<double> in64(r.numInputs, kBlock), out64(r.numOutputs, kBlock);
   in32.fillRandom(random);
   in64.fillRandom(random);
   AudioThread audio;
   audio.run([&] {
      Notes notes(int64_t(kBlock) * 8);
      const bool instrument = isInstrument(r);
      for (int64_t b = 0; b < blocks && !done.load(); ++b) {
         if (instrument) notes.send(effect, effect.samplePosition(), int32_t(kBlock));
         std::string problem;
         if (b % 2 && effect.canProcessDouble()) {
            out64.fillSentinel();
            effect.process(in64.pointers(), out64.pointers(), int32_t(kBlock));
            problem = checkBlock(in64, out64);
         } else {
            out32.fillSentinel();
            effect.process(in32.pointers(), out32.pointers(), int32_t(kBlock));
            problem = checkBlock(in32, out32);
         }
         if (!problem.empty()) {
            report(format("block %lld: %s", (long long)b, problem.c_str()));
            break;
         }
      }
   });
   done = true;
   automation.join();
   reader.join();
   return findings.result(format("%lld blocks processed during %lld parameter changes and %lld "
                                 "reads with texts",
                                 (long long)blocks, (long long)automated.load(),
                                 (long long)reads.load()));
}

} // namespace

std::vector<Check> concurrencyChecks() {
   return {
       {"concurrency.automation",
        "automation and a reader of parameters and texts run while 10,000 blocks are processed "
        "(2,000 at host level)",
        Level::host, Severity::fails, automationWhileProcessing},
   };
}

} // namespace plughost::validate
