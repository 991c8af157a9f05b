// SPDX-License-Identifier: MIT
// Texts: every text command stays inside its limit and terminates its text, whatever the values
// and indices; a null buffer is harmless.
#include "tools/hostlib/plugin_instance.h"
#include "tools/validate/check.h"
#include "tools/validate/check_support.h"

#include <algorithm>

namespace plughost::validate {
namespace {

constexpr int32_t kMaxParams = 64;

// Indices to ask for: every parameter (up to kMaxParams) and the bad ones.
std::vector<int32_t> indicesFor(const TextCommand& command, const AEffect& r) {
   std::vector<int32_t> indices;
   if (!command.perParameter) {
      indices = {0};
   } else {
      for (int32_t p = 0; p < std::min(r.numParams, kMaxParams); ++p)
         indices.push_back(p);
   }
   for (int32_t bad : badIndices(command.perParameter ? r.numParams : r.numPrograms)) {
      indices.push_back(bad);
   }
   return indices;
}

bool validIndex(const TextCommand& command, const AEffect& r, int32_t index) {
   return !command.perParameter || (index >= 0 && index < r.numParams);
}

CheckResult textsStayInBounds(const CheckContext& context) {
   auto module = loadPlugin(context);
   PluginInstance instance(module, checkSettings());
   Findings findings;
   const AEffect& r = instance.record();
   const bool strict = context.atLeast(Level::strict);
   const bool hostile = context.atLeast(Level::hostile);
   int64_t calls = 0;
   auto runAll = [&](const std::string& when) {
      for (const TextCommand& command : textCommands()) {
         GuardedText text(textRoom(command, context));
         for (int32_t index : indicesFor(command, r)) {
            // Hosts ask only for parameters that exist.
            if (!hostile && !validIndex(command, r, index)) continue;
            bool touched = false;
            std::string problem = runTextCommand(instance, command, index, text, touched);
            ++calls;
            if (problem.empty() && strict && command.required && !touched &&
                validIndex(command, r, index)) {
               problem = "wrote no text";
            }
            if (!problem.empty()) {
               findings.fail(
                   format("%s(%d) %s: %s", command.name, index, when.c_str(), problem.c_str()));
            }
         }
      }
   };
   runAll("as created");
   instance.start();
   const std::vector<float> hostValues = {0.0f, 1e-6f, 0.001f, 0.3f, 0.5f, 0.999f, 1.0f};
   for (float v : hostile ? awkwardValues() : hostValues) {
      for (int32_t p = 0; p < std::min(r.numParams, kMaxParams); ++p)
         instance.setParameter(p, v);
      runAll(format("with parameters at %g", double(v)));
   }
   // Program names of every length around the limit, and far beyond it.
   for (size_t length : {0, 1, 23, 24, 25, 31, 32, 33, 63, 64, 65, 200, 1000}) {
      if (length > 24 && !hostile) break; // hosts cut program names to the interface's 24
      std::string name(length, 'n');
      for (size_t i = 0; i < length; ++i)
         name[i] = char('a' + i % 26);
      instance.setProgramName(name);
      runAll(format("after a program name of %zu characters", length));
   }
   return findings.result(format("%lld text commands: within %s and terminated", (long long)calls,
                                 strict ? "the interface's limits"
                                        : "a host's 65-byte buffers (the interface's limits "
                                          "from --level strict on)"));
}

CheckResult nullBuffers(const CheckContext& context) {
   auto module = loadPlugin(context);
   PluginInstance instance(module, checkSettings());
   const AEffect& r = instance.record();
   int64_t calls = 0;
   for (const TextCommand& command : textCommands()) {
      for (int32_t index : indicesFor(command, r)) {
         instance.dispatch(command.opcode, index, 0, nullptr);
         ++calls;
      }
   }
   // Commands that read a text through ptr.
   for (int32_t opcode : {effSetProgramName, effCanDo, effString2Parameter}) {
      for (int32_t index : {0, 1, -1}) {
         instance.dispatch(opcode, index, 0, nullptr);
         ++calls;
      }
   }
   return {Status::pass,
           format("%lld text commands with a null buffer were harmless", (long long)calls)};
}

} // namespace

std::vector<Check> textChecks() {
   return {
       {"texts.bounds",
        "every text command over the parameter range: terminated, within 65 bytes; strict: "
        "within the interface's limit (8 for labels and displays); hostile: bad indices, NaN",
        Level::host, Severity::fails, textsStayInBounds},
       {"texts.null-buffer", "every text command with a null buffer is harmless", Level::hostile,
        Severity::fails, nullBuffers},
   };
}

} // namespace plughost::validate
