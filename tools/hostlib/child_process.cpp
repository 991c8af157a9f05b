// SPDX-License-Identifier: MIT
#include "tools/hostlib/child_process.h"

#include "tools/hostlib/fatal_signal.h"
#include "tools/hostlib/plugin_instance.h"
#include "tools/hostlib/tool_error.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace plughost {
namespace {

// One slot per thread of the child that calls into the plug-in.
constexpr size_t kCallSlots = 16;
constexpr size_t kSlotBytes = sizeof(CallInFlight) * kCallSlots;
constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

std::string describeSlots(const CallInFlight* slots) {
   std::string text;
   for (size_t i = 0; slots && i < kCallSlots; ++i) {
      const std::string call = describeCallInFlight(slots[i]);
      if (!call.empty()) text += (text.empty() ? "" : " and ") + call;
   }
   return text;
}

[[noreturn]] void runChild(const ChildProcess::Body& body, const ChildOptions& options,
                           char failLetter, CallInFlight* slots, int out, pid_t parent) {
   if (options.dieWithParent) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(1); // the parent is gone already
   }
   if (options.dieOfSignals) {
      const rlimit noCore{0, 0};
      setrlimit(RLIMIT_CORE, &noCore);
      for (const int signal : kFatalSignals)
         ::signal(signal, SIG_DFL);
   }
   if (options.output == ChildOptions::Output::discarded) {
      const int null = open("/dev/null", O_RDWR);
      if (null >= 0) {
         dup2(null, STDIN_FILENO);
         dup2(null, STDOUT_FILENO);
         dup2(null, STDERR_FILENO);
      }
   } else {
      dup2(STDERR_FILENO, STDOUT_FILENO);
   }
   recordCallsInFlight(slots, slots ? kCallSlots : 0);
   std::string answer;
   try {
      answer = body();
   } catch (const ToolError& e) {
      answer = (failLetter ? std::string(1, failLetter) : std::string()) + e.what();
   } catch (const std::exception& e) {
      // An exception out of a plug-in's call would end any host; its call stays in its slot.
      answer = (failLetter ? std::string(1, failLetter) : std::string()) + "threw " + e.what();
   }
   writeAll(out, answer);
   std::fflush(nullptr);
   _exit(0);
}

} // namespace

bool writeAll(int fd, const std::string& bytes) {
   for (size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
   }
   return true;
}

bool ChildResult::signaled() const {
   return !timedOut && WIFSIGNALED(waitStatus);
}

int ChildResult::signal() const {
   return WIFSIGNALED(waitStatus) ? WTERMSIG(waitStatus) : 0;
}

int ChildResult::exitStatus() const {
   return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
}

std::string ChildResult::endText() const {
   if (WIFSIGNALED(waitStatus)) return describeSignal(WTERMSIG(waitStatus));
   return "exit status " + std::to_string(exitStatus());
}

std::string ChildResult::inFlightSuffix() const {
   return inFlight.empty() ? std::string() : " in " + inFlight;
}

ChildProcess ChildProcess::start(const Body& body, const ChildOptions& options, char failLetter) {
   int ends[2];
   if (pipe2(ends, O_CLOEXEC) != 0) {
      throw ToolError(ExitCode::failed, std::string("cannot create a pipe: ") + strerror(errno),
                      "the system is out of file descriptors; close some programs and retry");
   }
   CallInFlight* slots = nullptr;
   if (options.recordCalls) {
      void* shared =
          ::mmap(nullptr, kSlotBytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
      if (shared != MAP_FAILED) {
         slots = static_cast<CallInFlight*>(shared);
         std::memset(static_cast<void*>(slots), 0, kSlotBytes);
      }
   }
   std::fflush(nullptr);
   const auto started = Clock::now();
   const pid_t parent = getpid();
   const pid_t pid = fork();
   if (pid < 0) {
      const int error = errno;
      ::close(ends[0]);
      ::close(ends[1]);
      if (slots) ::munmap(slots, kSlotBytes);
      throw ToolError(ExitCode::failed, std::string("cannot start a process: ") + strerror(error),
                      "the system is out of processes or memory; retry later");
   }
   if (pid == 0) {
      ::close(ends[0]);
      runChild(body, options, failLetter, slots, ends[1], parent);
   }
   ::close(ends[1]);
   fcntl(ends[0], F_SETFL, O_NONBLOCK);
   ChildProcess child;
   child.pid_ = pid;
   child.fd_ = ends[0];
   child.slots_ = slots;
   child.started_ = started;
   child.deadline_ = started + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(options.timeoutSeconds));
   return child;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept {
   *this = std::move(other);
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
   if (this != &other) {
      release();
      pid_ = std::exchange(other.pid_, -1);
      fd_ = std::exchange(other.fd_, -1);
      reaped_ = other.reaped_;
      atEnd_ = other.atEnd_;
      status_ = other.status_;
      started_ = other.started_;
      deadline_ = other.deadline_;
      received_ = std::move(other.received_);
      slots_ = std::exchange(other.slots_, nullptr);
   }
   return *this;
}

ChildProcess::~ChildProcess() {
   release();
}

void ChildProcess::release() {
   if (fd_ >= 0) ::close(fd_);
   fd_ = -1;
   if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
      }
   }
   pid_ = -1;
   if (slots_) ::munmap(slots_, kSlotBytes);
   slots_ = nullptr;
}

bool ChildProcess::pump() {
   while (fd_ >= 0 && !atEnd_) {
      char buffer[4096];
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n > 0) {
         received_.append(buffer, static_cast<size_t>(n));
      } else if (n < 0 && errno == EINTR) {
         continue;
      } else {
         atEnd_ = n == 0 || errno != EAGAIN;
         break;
      }
   }
   if (!reaped_ && ::waitpid(pid_, &status_, WNOHANG) == pid_) {
      reaped_ = true;
      // Whatever it wrote before it ended is in the pipe already.
      pump();
   }
   return atEnd_ || reaped_;
}

ChildResult ChildProcess::finish() {
   ChildResult result;
   while (!pump()) {
      if (Clock::now() >= deadline_) {
         result.timedOut = true;
         break;
      }
      waitForAny({this}, 100);
   }
   if (result.timedOut) ::kill(pid_, SIGKILL);
   while (!reaped_ && ::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
   }
   reaped_ = true;
   result.pid = pid_;
   result.waitStatus = status_;
   result.seconds = std::chrono::duration<double>(Clock::now() - started_).count();
   result.output = std::move(received_);
   result.inFlight = describeSlots(slots_);
   release();
   return result;
}

ChildResult runInChild(const ChildProcess::Body& body, const ChildOptions& options,
                       char failLetter) {
   return ChildProcess::start(body, options, failLetter).finish();
}

void waitForAny(const std::vector<ChildProcess*>& children, int maxMilliseconds) {
   if (children.empty()) return;
   std::vector<pollfd> fds;
   auto soonest = children.front()->deadline();
   for (const ChildProcess* c : children) {
      soonest = std::min(soonest, c->deadline());
      fds.push_back({c->fd(), POLLIN, 0});
   }
   const auto left =
       std::chrono::duration_cast<std::chrono::milliseconds>(soonest - ChildProcess::Clock::now())
           .count();
   // A short wait at most, so that a child whose pipe is held open by a process it started is
   // still seen to end.
   ::poll(fds.data(), fds.size(),
          static_cast<int>(std::clamp<long long>(left + 1, 0, maxMilliseconds)));
}

} // namespace plughost
