// SPDX-License-Identifier: MIT
#include "tools/hostlib/plugin_probe.h"

#include "tools/hostlib/fatal_signal.h"
#include "tools/hostlib/plugin_instance.h"
#include "tools/hostlib/plugin_module.h"
#include "tools/hostlib/tool_error.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace plughost {
namespace {

// The child's answer: one kind byte, then fields separated by NUL bytes (texts read from a
// plug-in end at their first NUL, so they cannot contain one).
constexpr char kOpened = 'K';
constexpr char kRefused = 'E';
constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

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

void writeAll(int fd, const std::string& text) {
   for (size_t done = 0; done < text.size();) {
      const ssize_t n = write(fd, text.data() + done, text.size() - done);
      if (n <= 0 && errno != EINTR) return;
      if (n > 0) done += static_cast<size_t>(n);
   }
}

[[noreturn]] void runChild(const std::string& path, int out) {
   const rlimit noCore{0, 0};
   setrlimit(RLIMIT_CORE, &noCore);
   // Die of the signal itself, so the parent can name it: no handler of plughost's, nor one a
   // sanitizer runtime put in place.
   for (const int signal : kFatalSignals)
      ::signal(signal, SIG_DFL);
   const int null = open("/dev/null", O_RDWR);
   if (null >= 0) {
      dup2(null, STDIN_FILENO);
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
   }
   std::string message;
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
      message = opened;
   } catch (const ToolError& e) {
      message = std::string(1, kRefused) + std::to_string(static_cast<int>(e.code())) + '\0' +
                e.what() + '\0' + e.hint();
   } catch (const std::exception& e) {
      message = std::string(1, kRefused) + std::to_string(static_cast<int>(ExitCode::plugin)) +
                '\0' + "loading '" + path + "' failed: " + e.what() + '\0' +
                "the plug-in threw an exception out of its entry or open";
   }
   writeAll(out, message);
   _exit(0);
}

int32_t number(const std::string& text) {
   return static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 10));
}

using Clock = std::chrono::steady_clock;

// One child at work, and what it has said so far.
struct Running {
   size_t index;
   pid_t pid;
   int fd; // the read end, non-blocking
   Clock::time_point deadline;
   std::string message;
   bool reaped = false;
   int status = 0;
};

// Reads what the child has written so far. True once the pipe is at its end.
bool drain(Running& r) {
   for (;;) {
      char buffer[4096];
      const ssize_t n = read(r.fd, buffer, sizeof buffer);
      if (n > 0) {
         r.message.append(buffer, static_cast<size_t>(n));
      } else if (n < 0 && errno == EINTR) {
         continue;
      } else {
         return n == 0 || errno != EAGAIN;
      }
   }
}

// Forks a child that probes `path` and writes its answer to a pipe. Throws if it cannot.
Running start(const std::string& path, size_t index, double timeoutSeconds) {
   int pipeEnds[2];
   if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
      throw ToolError(ExitCode::failed, std::string("cannot create a pipe: ") + strerror(errno),
                      "the system is out of file descriptors; close some programs and retry");
   }
   std::fflush(nullptr);
   const pid_t child = fork();
   if (child < 0) {
      close(pipeEnds[0]);
      close(pipeEnds[1]);
      throw ToolError(ExitCode::failed, std::string("cannot start a process: ") + strerror(errno),
                      "the system is out of processes or memory; retry later");
   }
   if (child == 0) {
      close(pipeEnds[0]);
      runChild(path, pipeEnds[1]);
   }
   close(pipeEnds[1]);
   fcntl(pipeEnds[0], F_SETFL, O_NONBLOCK);
   const auto limit =
       std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeoutSeconds));
   return {index, child, pipeEnds[0], Clock::now() + limit, {}, false, 0};
}

// Reaps the child (killing it first if it ran out of time) and says how the probe ended.
ProbeOutcome finish(Running& r, const std::string& path, bool timedOut, double timeoutSeconds) {
   close(r.fd);
   if (timedOut) kill(r.pid, SIGKILL);
   while (!r.reaped && waitpid(r.pid, &r.status, 0) < 0 && errno == EINTR) {
   }
   const int status = r.status;

   ProbeOutcome outcome;
   const std::string what = "plug-in '" + path + "'";
   const std::string& message = r.message;
   if (timedOut) {
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
   if (WIFSIGNALED(status)) {
      outcome.problem = what + " crashed while loading: " + describeSignal(WTERMSIG(status));
   } else {
      outcome.problem = what + " ended the process while loading (exit status " +
                        std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")";
   }
   return outcome;
}

} // namespace

std::vector<ProbeOutcome> probePlugins(const std::vector<std::string>& paths, size_t atOnce,
                                       double timeoutSeconds) {
   std::vector<ProbeOutcome> outcomes(paths.size());
   std::vector<Running> running;
   size_t next = 0;
   atOnce = std::max<size_t>(atOnce, 1);
   while (next < paths.size() || !running.empty()) {
      while (next < paths.size() && running.size() < atOnce) {
         try {
            running.push_back(start(paths[next], next, timeoutSeconds));
            ++next;
         } catch (const ToolError&) {
            if (running.empty()) throw;
            break; // out of processes for now: wait for one to end
         }
      }
      auto soonest = running.front().deadline;
      std::vector<pollfd> ready;
      for (const auto& r : running) {
         soonest = std::min(soonest, r.deadline);
         ready.push_back({r.fd, POLLIN, 0});
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(soonest - Clock::now()).count();
      const int polled = poll(ready.data(), ready.size(),
                              static_cast<int>(std::clamp<long long>(left + 1, 0, 100)));
      if (polled < 0 && errno != EINTR) {
         throw ToolError(ExitCode::failed,
                         std::string("cannot wait for a probe: ") + strerror(errno),
                         "this is a fault of the system; retry");
      }
      const auto now = Clock::now();
      std::vector<Running> still;
      for (size_t i = 0; i < running.size(); ++i) {
         Running& r = running[i];
         bool done = ready[i].revents != 0 && drain(r);
         // A child that has ended is done even if the pipe stays open: the plug-in may have
         // started a process of its own that holds it.
         if (!done && waitpid(r.pid, &r.status, WNOHANG) == r.pid) {
            r.reaped = true;
            drain(r);
            done = true;
         }
         const bool timedOut = !done && now >= r.deadline;
         if (done || timedOut) {
            outcomes[r.index] = finish(r, paths[r.index], timedOut, timeoutSeconds);
         } else {
            still.push_back(std::move(r));
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
