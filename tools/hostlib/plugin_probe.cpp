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
               std::to_string(e.numParams)}) {
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

} // namespace

PluginSummary probePlugin(const std::string& path, double timeoutSeconds) {
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

   using Clock = std::chrono::steady_clock;
   const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(timeoutSeconds));
   std::string message;
   bool timedOut = false;
   for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
         timedOut = true;
         break;
      }
      pollfd ready{pipeEnds[0], POLLIN, 0};
      const int polled = poll(&ready, 1, static_cast<int>(std::min<long long>(left, 1000)));
      if (polled < 0 && errno == EINTR) continue;
      if (polled <= 0) continue;
      char buffer[4096];
      const ssize_t n = read(pipeEnds[0], buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break; // the child has finished or died
      message.append(buffer, static_cast<size_t>(n));
   }
   close(pipeEnds[0]);
   if (timedOut) kill(child, SIGKILL);
   int status = 0;
   while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
   }

   const std::string what = "plug-in '" + path + "'";
   if (timedOut) {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%g", timeoutSeconds);
      throw ToolError(ExitCode::plugin,
                      what + " did not finish loading within " + seconds + " seconds",
                      "its entry point or open command hangs; the plug-in is faulty");
   }
   if (!message.empty() && message[0] == kOpened) {
      const auto f = fields(message);
      if (f.size() >= 6)
         return {f[0], f[1], number(f[2]), number(f[3]), number(f[4]), number(f[5])};
   }
   if (!message.empty() && message[0] == kRefused) {
      const auto f = fields(message);
      if (f.size() >= 3) throw ToolError(static_cast<ExitCode>(number(f[0])), f[1], f[2]);
   }
   if (WIFSIGNALED(status)) {
      throw ToolError(ExitCode::plugin,
                      what + " crashed while loading: " + describeSignal(WTERMSIG(status)),
                      "its entry point, open or close command is faulty; nothing was processed");
   }
   throw ToolError(ExitCode::plugin,
                   what + " ended the process while loading (exit status " +
                       std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")",
                   "its entry point, open or close command is faulty; nothing was processed");
}

} // namespace plughost
