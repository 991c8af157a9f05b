// SPDX-License-Identifier: MIT
// Commands: every known command with extreme arguments, and unknown command numbers, which must
// answer 0 and touch nothing.
#include "tools/hostlib/plugin_instance.h"
#include "tools/validate/check.h"
#include "tools/validate/check_support.h"
#include "tools/validate/command_table.h"

#include <cfloat>
#include <limits>

namespace plughost::validate {
namespace {

constexpr int32_t kLowestOpcode = -16;
constexpr int32_t kHighestOpcode = 512;
constexpr int64_t kRandomOpcodes = 20000;
constexpr size_t kBlock = 64;

std::vector<int32_t> extremeIndices(int32_t numParams) {
   return {0,
           1,
           -1,
           numParams,
           std::numeric_limits<int32_t>::min(),
           std::numeric_limits<int32_t>::max()};
}

std::vector<intptr_t> extremeValues() {
   return {0,
           1,
           -1,
           std::numeric_limits<intptr_t>::min(),
           std::numeric_limits<intptr_t>::max(),
           intptr_t(1) << 32};
}

std::vector<float> extremeOpts() {
   return {0.0f,
           1.0f,
           -1.0f,
           44100.0f,
           std::numeric_limits<float>::quiet_NaN(),
           std::numeric_limits<float>::infinity(),
           -1e30f,
           std::numeric_limits<float>::denorm_min()};
}

// After all that, the instance must still process: every output written and finite.
std::string stillWorks(PluginInstance& instance, Random& random) {
   instance.dispatch(effMainsChanged, 0, 0);
   instance.dispatch(effSetSampleRate, 0, 0, nullptr, 44100.0f);
   instance.dispatch(effSetBlockSize, 0, intptr_t(kBlock));
   instance.dispatch(effMainsChanged, 0, 1);
   for (int32_t p = 0; p < instance.record().numParams && p < 64; ++p)
      instance.setParameter(p, 0.5f);
   AudioThread audio;
   return processNoise<float>(instance, audio, kBlock, random);
}

CheckResult knownCommands(const CheckContext& context) {
   auto module = loadPlugin(context);
   PluginInstance instance(module, checkSettings());
   Random random(context.seed);
   Findings findings;
   const auto indices = extremeIndices(instance.record().numParams);
   const auto values = extremeValues();
   const auto opts = extremeOpts();
   int64_t calls = 0;
   for (int32_t opcode = 0; opcode < kFirstUnknownOpcode; ++opcode) {
      if (opcode == effClose) continue;
      const KnownCommand& command = knownCommand(opcode);
      for (int32_t index : indices) {
         for (intptr_t value : values) {
            for (float opt : opts) {
               for (unsigned char pattern : {0xA5, 0x5A}) {
                  std::string problem;
                  callKnown(instance, command, index, value, opt, pattern, problem);
                  ++calls;
                  if (!problem.empty()) {
                     findings.fail(format("opcode %d index %d value %lld opt %g: %s", opcode, index,
                                          (long long)value, double(opt), problem.c_str()));
                  }
               }
               callKnownWithNull(instance, command, index, value, opt);
               ++calls;
            }
         }
      }
   }
   const std::string problem = stillWorks(instance, random);
   if (!problem.empty()) findings.fail("after every known command: " + problem);
   return findings.result(format("%lld calls of commands 0 to 79 with extreme index, value and "
                                 "opt, null and guarded buffers",
                                 (long long)calls));
}

CheckResult unknownCommands(const CheckContext& context) {
   auto module = loadPlugin(context);
   PluginInstance instance(module, checkSettings());
   Random random(context.seed);
   Findings findings;
   instance.start();
   const auto indices = extremeIndices(instance.record().numParams);
   const auto values = extremeValues();
   const auto opts = extremeOpts();
   int64_t calls = 0;
   Canary ptr(1024, 0), target(1024, 0);
   auto call = [&](int32_t opcode, int32_t index, intptr_t value, float opt, bool valueIsAddress) {
      const unsigned char pattern = static_cast<unsigned char>(0xA5 ^ (calls & 0xFF));
      ptr.prepare(pattern);
      target.prepare(pattern);
      if (valueIsAddress) value = reinterpret_cast<intptr_t>(target.data());
      const intptr_t answer = instance.dispatch(opcode, index, value, ptr.data(), opt);
      ++calls;
      std::string problem = answer != 0 ? format("answered %lld", (long long)answer) : "";
      if (problem.empty()) problem = ptr.check(false);
      if (problem.empty()) problem = target.check(false);
      if (!problem.empty()) {
         findings.fail(format("unknown opcode %d (index %d, value %lld, opt %g) %s", opcode, index,
                              (long long)value, double(opt), problem.c_str()));
      }
   };
   for (int32_t opcode = kLowestOpcode; opcode <= kHighestOpcode; ++opcode) {
      if (opcode >= 0 && opcode < kFirstUnknownOpcode) continue;
      for (size_t k = 0; k < 12; ++k) {
         call(opcode, indices[k % indices.size()], values[(k / 2) % values.size()],
              opts[k % opts.size()], k % 3 == 2);
      }
   }
   const int64_t randomCalls = context.scaled(kRandomOpcodes, 100);
   for (int64_t i = 0; i < randomCalls; ++i) {
      int32_t opcode = static_cast<int32_t>(random.next());
      if (opcode >= 0 && opcode < kFirstUnknownOpcode) opcode += kFirstUnknownOpcode;
      const uint64_t r = random.next();
      const int32_t index =
          r & 1 ? static_cast<int32_t>(r >> 32) : indices[(r >> 8) % indices.size()];
      const intptr_t value =
          r & 2 ? static_cast<intptr_t>(random.next()) : values[(r >> 16) % values.size()];
      call(opcode, index, value, opts[(r >> 24) % opts.size()], (r & 12) == 12);
   }
   const std::string problem = stillWorks(instance, random);
   if (!problem.empty()) findings.fail("after the unknown commands: " + problem);
   return findings.result(format("%lld calls of opcodes -16 to 512 beyond 0 to 79 and random "
                                 "32-bit ones answered 0 and wrote nothing",
                                 (long long)calls));
}

} // namespace

std::vector<Check> commandChecks() {
   return {
       {"commands.known",
        "commands 0 to 79 with extreme arguments: no crash, nothing written past a buffer's size",
        Level::hostile, Severity::fails, knownCommands},
       {"commands.unknown",
        "opcodes -16 to 512 beyond 0 to 79 and random ones answer 0, write nothing", Level::hostile,
        Severity::fails, unknownCommands},
   };
}

} // namespace plughost::validate
