// SPDX-License-Identifier: MIT
#include "tools/hostlib/plugin_probe.h"

#include "tools/hostlib/child_process.h"
#include "tools/hostlib/plugin_instance.h"
#include "tools/hostlib/plugin_module.h"
#include "tools/hostlib/tool_error.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

namespace plughost {
namespace {

// The child's answer: one kind byte, then fields separated by NUL bytes (texts read from a
// plug-in end at their first NUL, so they cannot contain one).
constexpr char kOpened = 'K';
constexpr char kRefused = 'E';

std::vector<std::string> fields(const std::string& message) {
   std::vector<std::string> result;
   size_t start = 1;
   while (start <= message.size()) {
      const size_t end = std::min(message.find('\0', start), message.size());
      result.push_back(message.substr(start, end - start));
      start = end + 1;
   }
   return result;
}

// What the child does: open the plug-in, read its summary, close it again.
std::string probeInChild(const std::string& path) {
   try {
      std::string opened(1, kOpened);
      {
         PluginInstance p(PluginModule::load(path));
         const AEffect& e = p.record();
         for (const std::string& field :
              {p.effectName(), p.vendorString(), std::to_string(e.uniqueID),
               std::to_string(e.numInputs), std::to_string(e.numOutputs),
               std::to_string(e.numParams), std::to_string(p.dispatch(effGetPlugCategory)),
               std::to_string(e.flags)}) {
            opened += field;
            opened += '\0';
         }
      } // closed here: a crash while closing counts too
      return opened;
   } catch (const ToolError& e) {
      return std::string(1, kRefused) + std::to_string(static_cast<int>(e.code())) + '\0' +
             e.what() + '\0' + e.hint();
   } catch (const std::exception& e) {
      return std::string(1, kRefused) + std::to_string(static_cast<int>(ExitCode::plugin)) + '\0' +
             "loading '" + path + "' failed: " + e.what() + '\0' +
             "the plug-in threw an exception out of its entry or open";
   }
}

int32_t number(const std::string& text) {
   return static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 10));
}

// Says how the probe ended, from how its child did.
ProbeOutcome judge(const ChildResult& child, const std::string& path, double timeoutSeconds) {
   ProbeOutcome outcome;
   const std::string what = "plug-in '" + path + "'";
   const std::string& message = child.output;
   if (child.timedOut) {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%g", timeoutSeconds);
      outcome.status = ProbeOutcome::Status::hung;
      outcome.code = ExitCode::plugin;
      outcome.problem = what + " did not finish loading within " + seconds + " seconds";
      outcome.hint = "its entry point or open command hangs; the plug-in is faulty";
      return outcome;
   }
   if (!message.empty() && message[0] == kOpened) {
      const auto f = fields(message);
      if (f.size() >= 8) {
         outcome.summary = {f[0],         f[1],         number(f[2]), number(f[3]),
                            number(f[4]), number(f[5]), number(f[6]), number(f[7])};
         return outcome;
      }
   }
   if (!message.empty() && message[0] == kRefused) {
      const auto f = fields(message);
      if (f.size() >= 3) {
         outcome.status = ProbeOutcome::Status::refused;
         outcome.code = static_cast<ExitCode>(number(f[0]));
         outcome.problem = f[1];
         outcome.hint = f[2];
         return outcome;
      }
   }
   outcome.status = ProbeOutcome::Status::crashed;
   outcome.code = ExitCode::plugin;
   outcome.hint = "its entry point, open or close command is faulty; nothing was processed";
   if (child.signaled()) {
      outcome.problem = what + " crashed while loading: " + child.endText();
   } else {
      outcome.problem = what + " ended the process while loading (" + child.endText() + ")";
   }
   return outcome;
}

} // namespace

std::vector<ProbeOutcome> probePlugins(const std::vector<std::string>& paths, size_t atOnce,
                                       double timeoutSeconds) {
   ChildOptions options;
   options.timeoutSeconds = timeoutSeconds;
   options.output = ChildOptions::Output::discarded;
   options.recordCalls = false;
   std::vector<ProbeOutcome> outcomes(paths.size());
   std::vector<std::pair<size_t, ChildProcess>> running;
   size_t next = 0;
   atOnce = std::max<size_t>(atOnce, 1);
   while (next < paths.size() || !running.empty()) {
      while (next < paths.size() && running.size() < atOnce) {
         try {
            const std::string& path = paths[next];
            running.emplace_back(next,
                                 ChildProcess::start([&] { return probeInChild(path); }, options));
            ++next;
         } catch (const ToolError&) {
            if (running.empty()) throw;
            break; // out of processes for now: wait for one to end
         }
      }
      std::vector<ChildProcess*> children;
      for (auto& r : running)
         children.push_back(&r.second);
      waitForAny(children, 100);
      const auto now = ChildProcess::Clock::now();
      std::vector<std::pair<size_t, ChildProcess>> still;
      for (auto& [index, child] : running) {
         if (child.pump() || now >= child.deadline()) {
            outcomes[index] = judge(child.finish(), paths[index], timeoutSeconds);
         } else {
            still.emplace_back(index, std::move(child));
         }
      }
      running = std::move(still);
   }
   return outcomes;
}

PluginSummary probePlugin(const std::string& path, double timeoutSeconds) {
   ProbeOutcome outcome = probePlugins({path}, 1, timeoutSeconds).front();
   if (outcome.status != ProbeOutcome::Status::opened) {
      throw ToolError(outcome.code, outcome.problem, outcome.hint);
   }
   return outcome.summary;
}

} // namespace plughost
