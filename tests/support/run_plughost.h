// SPDX-License-Identifier: MIT
// Runs the built plughost as a user would: in a given folder, with extra environment entries and
// an optional file size limit, both output streams captured through pipes, and the exit code
// (128 + the signal for a process killed by one) with the child's peak memory.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

extern char** environ;

namespace trimwise::testing {

// plughost's exit codes by class.
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitFile = 3;
inline constexpr int kExitPlugin = 4;

struct PlughostRun {
   int code = -1;
   std::string out, err;
   long peakKilobytes = 0; // the child's peak resident memory
};

struct PlughostOptions {
   std::string folder{};           // the working folder; empty: this process's
   std::vector<std::string> env{}; // NAME=VALUE entries that replace or extend the environment
   // Set in the child only, with SIGXFSZ ignored, so that writing past it fails with EFBIG.
   rlim_t fileSizeLimit = RLIM_INFINITY;
};

inline PlughostRun runPlughost(std::vector<std::string> args, const PlughostOptions& options = {}) {
   args.insert(args.begin(), PLUGHOST_PATH);
   std::vector<char*> argv;
   for (auto& a : args)
      argv.push_back(a.data());
   argv.push_back(nullptr);
   std::vector<std::string> environment(options.env);
   for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      const std::string name = entry.substr(0, entry.find('=') + 1);
      if (std::none_of(options.env.begin(), options.env.end(),
                       [&](const std::string& v) { return v.rfind(name, 0) == 0; })) {
         environment.push_back(entry);
      }
   }
   std::vector<char*> envp;
   for (auto& e : environment)
      envp.push_back(e.data());
   envp.push_back(nullptr);

   PlughostRun run;
   int out[2], err[2];
   if (pipe2(out, O_CLOEXEC) != 0) return run;
   if (pipe2(err, O_CLOEXEC) != 0) {
      close(out[0]);
      close(out[1]);
      return run;
   }
   const pid_t pid = fork();
   if (pid == 0) {
      // Only async-signal-safe calls between fork and exec.
      if (dup2(out[1], STDOUT_FILENO) < 0 || dup2(err[1], STDERR_FILENO) < 0 ||
          (!options.folder.empty() && chdir(options.folder.c_str()) != 0)) {
         _exit(126);
      }
      if (options.fileSizeLimit != RLIM_INFINITY) {
         signal(SIGXFSZ, SIG_IGN);
         const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
         setrlimit(RLIMIT_FSIZE, &limit);
      }
      execve(PLUGHOST_PATH, argv.data(), envp.data());
      _exit(127);
   }
   close(out[1]);
   close(err[1]);
   pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
   std::string* sinks[2] = {&run.out, &run.err};
   for (int open = pid > 0 ? 2 : 0; open > 0;) {
      if (poll(fds, 2, -1) < 0) continue;
      for (int i = 0; i < 2; ++i) {
         if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
         char chunk[4096];
         const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
         if (n > 0) {
            sinks[i]->append(chunk, static_cast<size_t>(n));
         } else {
            fds[i].fd = -1;
            --open;
         }
      }
   }
   close(out[0]);
   close(err[0]);
   int status = 0;
   rusage usage{};
   if (pid > 0 && wait4(pid, &status, 0, &usage) == pid) {
      run.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      run.peakKilobytes = usage.ru_maxrss;
   }
   return run;
}

} // namespace trimwise::testing
