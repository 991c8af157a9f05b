// SPDX-License-Identifier: MIT
#include "tools/hostlib/job_pool.h"

#include "tools/hostlib/fatal_signal.h"
#include "tools/hostlib/plugin_instance.h"
#include "tools/hostlib/tool_error.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

namespace plughost {
namespace {

using Clock = std::chrono::steady_clock;

// Calls in flight of a worker's threads, in memory shared with the parent.
constexpr size_t kCallSlots = 16;
// How long a worker told to stop (SIGTERM) may take before it is killed.
constexpr auto kGrace = std::chrono::seconds(2);

// Messages from a worker: one kind byte, a 64-bit length, the bytes.
constexpr char kDone = 'D';
constexpr char kFailed = 'F';
constexpr char kProgress = 'P';

bool writeAll(int fd, const void* data, size_t size) {
   const auto* bytes = static_cast<const char*>(data);
   for (size_t done = 0; done < size;) {
      const ssize_t n = write(fd, bytes + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
   }
   return true;
}

bool readAll(int fd, void* data, size_t size) {
   auto* bytes = static_cast<char*>(data);
   for (size_t done = 0; done < size;) {
      const ssize_t n = read(fd, bytes + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
   }
   return true;
}

bool sendMessage(int fd, char kind, const std::string& bytes) {
   std::string message(1, kind);
   const uint64_t size = bytes.size();
   message.append(reinterpret_cast<const char*>(&size), sizeof size);
   message += bytes;
   return writeAll(fd, message.data(), message.size());
}

std::string describeInFlight(const CallInFlight* slots) {
   std::string text;
   for (size_t i = 0; slots && i < kCallSlots; ++i) {
      const std::string call = describeCallInFlight(slots[i]);
      if (!call.empty()) text += (text.empty() ? "" : " and ") + call;
   }
   return text;
}

class WorkerContext : public JobContext {
public:
   explicit WorkerContext(int fd) : fd_(fd) {}
   void progress(double value) override {
      const auto now = Clock::now();
      if (now - sent_ < std::chrono::milliseconds(100)) return;
      sent_ = now;
      sendMessage(fd_, kProgress, std::string(reinterpret_cast<const char*>(&value), sizeof value));
   }

private:
   int fd_;
   Clock::time_point sent_{};
};

// The worker's life: read a job, run it, answer; until the parent closes the job pipe.
[[noreturn]] void serve(const JobPool::Work& work, int jobs, int answers, CallInFlight* slots) {
   const rlimit noCore{0, 0};
   setrlimit(RLIMIT_CORE, &noCore);
   removePendingOnSignals();
   signal(SIGPIPE, SIG_DFL);
   // A plug-in may print; what it prints must not mix with the parent's standard output.
   const int null = open("/dev/null", O_RDONLY);
   if (null >= 0) dup2(null, STDIN_FILENO);
   dup2(STDERR_FILENO, STDOUT_FILENO);
   recordCallsInFlight(slots, slots ? kCallSlots : 0);
   WorkerContext context(answers);
   for (;;) {
      uint64_t size = 0;
      if (!readAll(jobs, &size, sizeof size)) break;
      std::string job(size, '\0');
      if (!readAll(jobs, job.data(), size)) break;
      if (slots) std::memset(static_cast<void*>(slots), 0, sizeof(CallInFlight) * kCallSlots);
      char kind = kDone;
      std::string answer;
      try {
         answer = work(job, context);
      } catch (const std::exception& e) {
         kind = kFailed;
         answer = e.what();
      } catch (...) {
         kind = kFailed;
         answer = "an exception that is no std::exception";
      }
      std::fflush(nullptr);
      if (!sendMessage(answers, kind, answer)) break;
   }
   std::fflush(nullptr);
   _exit(0);
}

double secondsSince(Clock::time_point start) {
   return std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

std::string JobOutcome::problem(double timeoutSeconds) const {
   const std::string in = callInFlight.empty() ? "" : " in " + callInFlight;
   switch (status) {
   case Status::done:
      return {};
   case Status::failed:
      return answer;
   case Status::crashed:
      return "crashed: " + describeSignal(signal) + in;
   case Status::ended:
      return "the process ended itself (exit status " + std::to_string(exitStatus) + ")" + in;
   case Status::timedOut: {
      char limit[32];
      std::snprintf(limit, sizeof limit, "%g", timeoutSeconds);
      return std::string("took longer than ") + limit + " seconds" +
             (callInFlight.empty() ? "" : "; hung" + in);
   }
   case Status::cancelled:
      return "interrupted";
   }
   return {};
}

struct JobPool::Worker {
   pid_t pid = -1;
   int jobs = -1;    // write end of the job pipe
   int answers = -1; // read end of the answer pipe, non-blocking
   CallInFlight* slots = nullptr;
   std::string received;
   long job = -1; // the index in flight, -1 when idle
   Clock::time_point sent, deadline;
   bool stopping = false; // SIGTERM sent

   ~Worker() {
      if (slots) munmap(slots, sizeof(CallInFlight) * kCallSlots);
   }
};

JobPool::JobPool(Work work, Options options) : work_(std::move(work)), options_(options) {
   if (options_.workers == 0) options_.workers = defaultWorkers();
}

JobPool::~JobPool() {
   for (auto& w : workers_)
      endWorker(*w, false);
}

size_t JobPool::defaultWorkers() {
   const long cores = sysconf(_SC_NPROCESSORS_ONLN);
   return cores > 0 ? static_cast<size_t>(cores) : 1;
}

void JobPool::startWorker(Worker& w) {
   if (!w.slots) {
      void* shared = mmap(nullptr, sizeof(CallInFlight) * kCallSlots, PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
      w.slots = shared == MAP_FAILED ? nullptr : static_cast<CallInFlight*>(shared);
   }
   if (w.slots) std::memset(static_cast<void*>(w.slots), 0, sizeof(CallInFlight) * kCallSlots);
   int toWorker[2], fromWorker[2];
   if (pipe2(toWorker, O_CLOEXEC) != 0) {
      throw ToolError(ExitCode::failed, std::string("cannot create a pipe: ") + strerror(errno),
                      "the system is out of file descriptors; close some programs and retry");
   }
   if (pipe2(fromWorker, O_CLOEXEC) != 0) {
      const int error = errno;
      close(toWorker[0]);
      close(toWorker[1]);
      throw ToolError(ExitCode::failed, std::string("cannot create a pipe: ") + strerror(error),
                      "the system is out of file descriptors; close some programs and retry");
   }
   std::fflush(nullptr);
   const pid_t pid = fork();
   if (pid < 0) {
      const int error = errno;
      for (const int fd : {toWorker[0], toWorker[1], fromWorker[0], fromWorker[1]})
         close(fd);
      throw ToolError(ExitCode::failed, std::string("cannot start a process: ") + strerror(error),
                      "the system is out of processes or memory; retry with fewer jobs");
   }
   if (pid == 0) {
      // The other workers' pipe ends stay with the parent only, so that each worker sees the end
      // of its job pipe when the parent closes it.
      for (auto& other : workers_) {
         if (other->jobs >= 0) close(other->jobs);
         if (other->answers >= 0) close(other->answers);
      }
      close(toWorker[1]);
      close(fromWorker[0]);
      serve(work_, toWorker[0], fromWorker[1], w.slots);
   }
   close(toWorker[0]);
   close(fromWorker[1]);
   fcntl(fromWorker[0], F_SETFL, O_NONBLOCK);
   w.pid = pid;
   w.jobs = toWorker[1];
   w.answers = fromWorker[0];
   w.received.clear();
   w.job = -1;
   w.stopping = false;
}

void JobPool::endWorker(Worker& w, bool kill) {
   if (w.jobs >= 0) close(w.jobs);
   if (w.answers >= 0) close(w.answers);
   w.jobs = w.answers = -1;
   if (w.pid <= 0) return;
   if (kill) ::kill(w.pid, SIGTERM);
   const auto limit = Clock::now() + kGrace;
   int status = 0;
   for (;;) {
      const pid_t reaped = waitpid(w.pid, &status, WNOHANG);
      if (reaped == w.pid || (reaped < 0 && errno != EINTR)) break;
      if (Clock::now() >= limit) {
         ::kill(w.pid, SIGKILL);
         while (waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
         }
         break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
   }
   w.pid = -1;
   w.job = -1;
}

bool JobPool::run(const std::vector<std::string>& jobs, const Events& events) {
   // A worker that died leaves its job pipe without a reader; writing to it must fail with EPIPE
   // rather than end this process.
   struct sigaction ignore {
   }, saved{};
   ignore.sa_handler = SIG_IGN;
   sigemptyset(&ignore.sa_mask);
   sigaction(SIGPIPE, &ignore, &saved);
   struct RestorePipe {
      struct sigaction* saved;
      ~RestorePipe() { sigaction(SIGPIPE, saved, nullptr); }
   } restore{&saved};

   const size_t wanted = std::min(options_.workers, jobs.size());
   while (workers_.size() < wanted)
      workers_.push_back(std::make_unique<Worker>());
   const auto limit = std::chrono::duration_cast<Clock::duration>(
       std::chrono::duration<double>(options_.timeoutSeconds));
   size_t next = 0, busy = 0;
   bool stopping = false;
   Clock::time_point stopDeadline;

   const auto finish = [&](Worker& w, JobOutcome outcome) {
      outcome.seconds = secondsSince(w.sent);
      const auto index = static_cast<size_t>(w.job);
      w.job = -1;
      --busy;
      if (events.done) events.done(index, outcome);
   };
   // Takes the complete messages out of what the worker sent. True once the job's answer came.
   const auto takeMessages = [&](Worker& w) {
      constexpr size_t kHeader = 1 + sizeof(uint64_t);
      while (w.received.size() >= kHeader) {
         uint64_t size = 0;
         std::memcpy(&size, w.received.data() + 1, sizeof size);
         if (w.received.size() - kHeader < size) break;
         const char kind = w.received[0];
         std::string bytes = w.received.substr(kHeader, size);
         w.received.erase(0, kHeader + size);
         if (kind == kProgress && bytes.size() == sizeof(double)) {
            double value = 0;
            std::memcpy(&value, bytes.data(), sizeof value);
            if (events.progress) events.progress(static_cast<size_t>(w.job), value);
         } else if (kind == kDone || kind == kFailed) {
            JobOutcome outcome;
            outcome.status = kind == kDone ? JobOutcome::Status::done : JobOutcome::Status::failed;
            outcome.answer = std::move(bytes);
            finish(w, std::move(outcome));
            return true;
         }
      }
      return false;
   };
   // The worker is gone (or going): report its job from how it ended, and forget it.
   const auto lost = [&](Worker& w, int status, bool timedOut) {
      JobOutcome outcome;
      outcome.callInFlight = describeInFlight(w.slots);
      if (timedOut) {
         outcome.status = JobOutcome::Status::timedOut;
      } else if (stopping || (options_.stop && *options_.stop)) {
         // A Ctrl-C reaches the workers as well as this process, maybe before the flag is seen.
         outcome.status = JobOutcome::Status::cancelled;
      } else if (WIFSIGNALED(status)) {
         outcome.status = JobOutcome::Status::crashed;
         outcome.signal = WTERMSIG(status);
      } else {
         outcome.status = JobOutcome::Status::ended;
         outcome.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      finish(w, std::move(outcome));
   };

   for (;;) {
      if (!stopping && options_.stop && *options_.stop) {
         stopping = true;
         stopDeadline = Clock::now() + kGrace;
         for (auto& w : workers_) {
            if (w->job >= 0 && w->pid > 0) {
               kill(w->pid, SIGTERM);
               w->stopping = true;
            }
         }
      }
      while (!stopping && next < jobs.size()) {
         auto idle = std::find_if(workers_.begin(), workers_.end(),
                                  [](const auto& w) { return w->job < 0; });
         if (idle == workers_.end()) break;
         Worker& w = **idle;
         if (w.pid <= 0) {
            try {
               startWorker(w);
            } catch (const ToolError&) {
               if (busy == 0) throw;
               break; // out of processes for now: wait for a job to end
            }
         }
         const uint64_t size = jobs[next].size();
         w.sent = Clock::now();
         w.deadline = limit.count() > 0 ? w.sent + limit : Clock::time_point::max();
         if (!writeAll(w.jobs, &size, sizeof size) ||
             !writeAll(w.jobs, jobs[next].data(), jobs[next].size())) {
            endWorker(w, true); // it died while idle: a new one takes the job
            continue;
         }
         w.job = static_cast<long>(next);
         ++busy;
         if (events.started) events.started(next);
         ++next;
      }
      if (busy == 0 && (stopping || next == jobs.size())) break;

      std::vector<pollfd> ready;
      std::vector<Worker*> polled;
      auto soonest = Clock::now() + std::chrono::milliseconds(100);
      for (auto& w : workers_) {
         if (w->job < 0) continue;
         ready.push_back({w->answers, POLLIN, 0});
         polled.push_back(w.get());
         soonest = std::min(soonest, w->deadline);
      }
      const auto wait =
          std::chrono::duration_cast<std::chrono::milliseconds>(soonest - Clock::now()).count();
      if (poll(ready.data(), ready.size(),
               static_cast<int>(std::clamp<long long>(wait + 1, 0, 100))) < 0 &&
          errno != EINTR) {
         throw ToolError(ExitCode::failed,
                         std::string("cannot wait for a worker: ") + strerror(errno),
                         "this is a fault of the system; retry");
      }
      const auto now = Clock::now();
      for (size_t i = 0; i < polled.size(); ++i) {
         Worker& w = *polled[i];
         bool atEnd = false;
         if (ready[i].revents != 0) {
            for (;;) {
               char buffer[4096];
               const ssize_t n = read(w.answers, buffer, sizeof buffer);
               if (n > 0) {
                  w.received.append(buffer, static_cast<size_t>(n));
               } else if (n < 0 && errno == EINTR) {
                  continue;
               } else {
                  atEnd = n == 0 || errno != EAGAIN;
                  break;
               }
            }
            if (takeMessages(w)) {
               if (w.stopping) endWorker(w, true);
               continue;
            }
         }
         // A worker that died is done even if the pipe stays open: the plug-in may have started
         // a process of its own that holds it.
         int status = 0;
         const pid_t reaped = atEnd ? waitpid(w.pid, &status, 0) : waitpid(w.pid, &status, WNOHANG);
         if (reaped == w.pid) {
            w.pid = -1;
            endWorker(w, false); // keeps w.job, which lost() reports
            lost(w, status, false);
         } else if (now >= w.deadline && !stopping) {
            const std::string inFlight = describeInFlight(w.slots);
            const long job = w.job;
            endWorker(w, true);
            w.job = job;
            JobOutcome outcome;
            outcome.status = JobOutcome::Status::timedOut;
            outcome.callInFlight = inFlight;
            finish(w, std::move(outcome));
         } else if (stopping && now >= stopDeadline) {
            const long job = w.job;
            kill(w.pid, SIGKILL);
            endWorker(w, false);
            w.job = job;
            lost(w, 0, false);
         }
      }
   }
   return !stopping || next == jobs.size();
}

} // namespace plughost
