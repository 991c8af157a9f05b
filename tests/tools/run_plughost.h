// SPDX-License-Identifier: MIT
// Runs the built plughost as a user would, in a given folder, with its output captured; for
// the tests of `process`. A file size limit, if given, is set in the child only, with SIGXFSZ
// ignored so that writing past it fails with EFBIG instead of killing the process.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace plughost::testing {

struct Run {
   int code = -1;
   std::string out, err;
   long peakKilobytes = 0; // the child's peak resident memory
};

inline std::string slurp(const std::string& path) {
   std::ifstream in(path);
   std::stringstream text;
   text << in.rdbuf();
   return text.str();
}

// Runs `args` (the program's path first) in `folder`.
inline Run runProgram(const std::string& folder, std::vector<std::string> args,
                      rlim_t fileSizeLimit = RLIM_INFINITY) {
   const std::string out = folder + "/.stdout", err = folder + "/.stderr";
   std::vector<char*> argv;
   for (auto& a : args)
      argv.push_back(a.data());
   argv.push_back(nullptr);
   const pid_t pid = fork();
   if (pid == 0) {
      // Only async-signal-safe calls between fork and exec.
      const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || chdir(folder.c_str()) != 0) {
         _exit(126);
      }
      if (fileSizeLimit != RLIM_INFINITY) {
         signal(SIGXFSZ, SIG_IGN);
         const rlimit limit{fileSizeLimit, fileSizeLimit};
         setrlimit(RLIMIT_FSIZE, &limit);
      }
      execv(argv[0], argv.data());
      _exit(127);
   }
   Run run;
   int status = 0;
   rusage usage{};
   if (pid > 0 && wait4(pid, &status, 0, &usage) == pid) {
      run.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      run.peakKilobytes = usage.ru_maxrss;
   }
   run.out = slurp(out);
   run.err = slurp(err);
   unlink(out.c_str());
   unlink(err.c_str());
   return run;
}

inline Run runPlughost(const std::string& folder, std::vector<std::string> args,
                       rlim_t fileSizeLimit = RLIM_INFINITY) {
   args.insert(args.begin(), PLUGHOST_PATH);
   return runProgram(folder, std::move(args), fileSizeLimit);
}

} // namespace plughost::testing
