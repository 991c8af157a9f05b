// SPDX-License-Identifier: MIT
// --report: the HTML report is drawn by the Python module plughost.report (matplotlib makes the
// plots), run as `python3 -m plughost.report OUT.html` with the document on its standard input.
#include "tools/hostlib/child_process.h"
#include "tools/hostlib/tool_error.h"
#include "tools/plughost/analyze_command.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace plughost::analyze {
namespace {

constexpr const char* kInstallHint = "install python3-plughost and python3-matplotlib";

// The Python that has Debian's python3-* packages; PLUGHOST_PYTHON names another.
std::string pythonPath() {
   const char* chosen = std::getenv("PLUGHOST_PYTHON");
   return chosen && *chosen ? chosen : "/usr/bin/python3";
}

// Where the package plughost is found: the build tree's when this plughost runs from the build
// tree (as the tests run it), then the folder it is installed to, after any PYTHONPATH given.
std::string pythonSearchPath() {
   std::vector<std::string> folders;
   if (const char* given = std::getenv("PYTHONPATH"); given && *given) folders.push_back(given);
   char self[4096];
   const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
   const std::string build = PLUGHOST_BUILD_DIR "/";
   if (length > 0 && std::string(self, static_cast<size_t>(length)).rfind(build, 0) == 0) {
      folders.push_back(build + "python");
   }
   folders.push_back(PLUGHOST_INSTALLED_PYTHON_DIR);
   std::string joined;
   for (const auto& folder : folders)
      joined += (joined.empty() ? "" : ":") + folder;
   return joined;
}

// A temporary file, removed when this goes out of scope.
struct TemporaryFile {
   std::string path;
   int fd = -1;

   TemporaryFile() {
      const char* folder = std::getenv("TMPDIR");
      path = std::string(folder && *folder ? folder : "/tmp") + "/plughost-report-XXXXXX";
      fd = mkstemp(path.data());
      if (fd < 0) {
         throw ToolError(ExitCode::file,
                         "cannot make a temporary file for the report: " +
                             std::string(std::strerror(errno)),
                         "set TMPDIR to a folder that can be written");
      }
   }
   ~TemporaryFile() {
      close(fd);
      unlink(path.c_str());
   }
   TemporaryFile(const TemporaryFile&) = delete;
   TemporaryFile& operator=(const TemporaryFile&) = delete;
};

// The error lines "plughost: error: CAUSE" and "hint: HINT" the module writes, or its last line.
void parseError(const std::string& output, std::string& cause, std::string& hint) {
   std::istringstream lines(output);
   std::string line, last;
   while (std::getline(lines, line)) {
      if (line.rfind("plughost: error: ", 0) == 0)
         cause = line.substr(17);
      else if (line.rfind("hint: ", 0) == 0)
         hint = line.substr(6);
      if (!line.empty()) last = line;
   }
   if (cause.empty()) cause = last;
}

// Runs `python3 -m plughost.report ARGUMENT` with `document` on its standard input, and throws
// the error it reports: usage (exit 2) with the packages to install when Python, the module or
// matplotlib is missing.
void runReportModule(const std::string& argument, const std::string& document) {
   const std::string python = pythonPath();
   if (access(python.c_str(), X_OK) != 0) {
      throw ToolError(ExitCode::usage, "--report needs Python, and " + python + " is missing",
                      kInstallHint);
   }
   TemporaryFile input, errors;
   if (!writeAll(input.fd, document) || lseek(input.fd, 0, SEEK_SET) != 0) {
      throw ToolError(ExitCode::file, "cannot write the report's document to " + input.path,
                      "set TMPDIR to a folder with space");
   }

   std::vector<std::string> environment;
   for (char** entry = environ; *entry; ++entry) {
      if (std::strncmp(*entry, "PYTHONPATH=", 11) != 0) environment.emplace_back(*entry);
   }
   environment.push_back("PYTHONPATH=" + pythonSearchPath());
   std::vector<char*> envp;
   for (auto& entry : environment)
      envp.push_back(entry.data());
   envp.push_back(nullptr);
   const char* argv[] = {python.c_str(), "-m", "plughost.report", argument.c_str(), nullptr};

   posix_spawn_file_actions_t actions;
   posix_spawn_file_actions_init(&actions);
   posix_spawn_file_actions_adddup2(&actions, input.fd, 0);
   posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
   posix_spawn_file_actions_adddup2(&actions, errors.fd, 2);
   pid_t pid = -1;
   const int error = posix_spawn(&pid, python.c_str(), &actions, nullptr,
                                 const_cast<char* const*>(argv), envp.data());
   posix_spawn_file_actions_destroy(&actions);
   if (error != 0) {
      throw ToolError(ExitCode::usage,
                      "cannot run " + python + " for the report: " + std::strerror(error),
                      kInstallHint);
   }
   int status = 0;
   while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
   }
   if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;

   std::ifstream written(errors.path);
   const std::string output((std::istreambuf_iterator<char>(written)),
                            std::istreambuf_iterator<char>());
   std::string cause, hint;
   parseError(output, cause, hint);
   const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
   // Python without the module, or the module without what it imports (numpy, matplotlib).
   if (output.find("No module named") != std::string::npos || code == 2) {
      throw ToolError(ExitCode::usage, "cannot write the report: " + cause, kInstallHint);
   }
   if (code == 3) throw ToolError(ExitCode::file, cause, hint);
   throw ToolError(ExitCode::failed,
                   "the report could not be written: " +
                       (cause.empty()
                            ? "python3 ended by signal " +
                                  std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : 0)
                            : cause),
                   "this is a bug in plughost's report; please report it with the command line");
}

} // namespace

void checkReportTools(const std::string& path) {
   const std::string folder = std::filesystem::path(path).parent_path().string();
   if (access(folder.empty() ? "." : folder.c_str(), W_OK) != 0) {
      throw ToolError(ExitCode::file,
                      "cannot write the report '" + path + "': " + std::strerror(errno),
                      "choose a folder that exists and can be written");
   }
   runReportModule("--check", "");
}

void writeReport(const Json& document, const std::string& path) {
   runReportModule(path, document.dump());
}

} // namespace plughost::analyze
