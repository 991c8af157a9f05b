// SPDX-License-Identifier: MIT
// Runs many jobs on a few long-lived worker processes, so that a plug-in that crashes or hangs
// takes down one worker and one job instead of the whole run. A worker keeps whatever it
// loaded from one job to the next; one that dies or runs out of time is replaced by a new one.
#pragma once

#include <csignal>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace plughost {

// How one job ended, as the parent saw it.
struct JobOutcome {
   enum class Status {
      done,      // the work returned; `answer` holds what it returned
      failed,    // the work threw; `answer` holds the exception's text
      crashed,   // the worker died of `signal`
      ended,     // the worker ended itself (exit(), _exit()) with `exitStatus`
      timedOut,  // the job ran past the time limit and its worker was stopped
      cancelled, // stop was requested while the job ran
   };
   Status status = Status::done;
   std::string answer;
   int signal = 0;
   int exitStatus = 0;
   // The calls into a plug-in that had not returned when the worker died or was stopped,
   // "processReplacing(512 frames)" and the like; empty if none was in flight.
   std::string callInFlight;
   double seconds = 0; // from sending the job to its end

   bool ok() const { return status == Status::done; }
   // One line: "crashed: SIGSEGV (invalid memory access) in processReplacing(512 frames)",
   // "took longer than 30 seconds", the exception's text, ...; empty when done.
   std::string problem(double timeoutSeconds) const;
};

// What a job can tell the parent while it runs. Only used in the worker.
class JobContext {
public:
   virtual ~JobContext() = default;
   // A number the parent receives through JobPool::Events::progress, for instance the seconds of
   // audio done so far. Sent at most ten times a second; cheap to call more often.
   virtual void progress(double value) = 0;
};

class JobPool {
public:
   // Runs in a worker process, once per job, and returns the answer that travels back to the
   // parent. An exception fails that job only. The worker lives on, so anything the work keeps
   // (a loaded module) serves the next job.
   using Work = std::function<std::string(const std::string& job, JobContext& context)>;

   struct Options {
      size_t workers = 0;          // 0: one per processor core
      double timeoutSeconds = 0.0; // per job; 0: no limit
      // Checked between waits: once it is non-zero no job is started, the jobs in flight are
      // stopped (SIGTERM to their workers) and reported as cancelled. A signal handler may set it.
      const volatile std::sig_atomic_t* stop = nullptr;
   };

   struct Events {
      std::function<void(size_t index)> started;                         // a job was sent
      std::function<void(size_t index, double value)> progress;          // see JobContext
      std::function<void(size_t index, const JobOutcome& outcome)> done; // in the order jobs end
   };

   // Starts no process yet. `work` is called in the workers, which are forked from this process:
   // create the pool and run it from a process with only one thread.
   JobPool(Work work, Options options);
   // Ends the workers (closing their job pipes, then SIGKILL for any that do not end) and reaps
   // them.
   ~JobPool();
   JobPool(const JobPool&) = delete;
   JobPool& operator=(const JobPool&) = delete;

   // Runs every job, at most `workers` at a time, and returns once each has ended, or, after a
   // stop, once the jobs in flight have ended. Calls the events in this process. Returns false if
   // it stopped before all jobs ran. Throws ToolError(ExitCode::failed) only if no worker can be
   // started at all.
   bool run(const std::vector<std::string>& jobs, const Events& events);

   // The number of workers `options.workers == 0` stands for.
   static size_t defaultWorkers();

private:
   struct Worker;
   void startWorker(Worker& worker);
   void endWorker(Worker& worker, bool kill);

   Work work_;
   Options options_;
   std::vector<std::unique_ptr<Worker>> workers_;
};

} // namespace plughost
