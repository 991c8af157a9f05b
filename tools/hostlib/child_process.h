// SPDX-License-Identifier: MIT
// Running a piece of host work in a forked child process, so that a plug-in that crashes, hangs
// or ends the process takes only the child with it. The child writes its answer to a pipe; the
// parent reads it under a time limit, kills the child when the limit passes, and learns how it
// ended: its exit status, the signal that killed it, and the calls into the plug-in that had not
// returned. One runner serves every isolated job: list's probes, validate's checks, workers.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace trimwise::host::raw {
struct CallInFlight;
}

namespace plughost {

using trimwise::host::raw::CallInFlight;

// How the child is set up before its body runs.
struct ChildOptions {
   double timeoutSeconds = 60;
   // Where the child's standard output and error go: the parent's standard error (the
   // plug-in's chatter stays out of the tool's own output), or nowhere.
   enum class Output { toStandardError, discarded };
   Output output = Output::toStandardError;
   // Fatal signals back to their default action and no core file, so that the child dies of the
   // signal itself and the parent can name it, whatever handlers the parent had.
   bool dieOfSignals = true;
   // Share slots with the parent in which the child's threads record their calls in flight.
   bool recordCalls = true;
   // End the child with its parent, so that a parent killed for its own time limit leaves no
   // child running on in a hung plug-in.
   bool dieWithParent = true;
};

// How a child ended.
struct ChildResult {
   std::string output; // everything the child wrote to its pipe
   pid_t pid = -1;
   int waitStatus = 0;
   bool timedOut = false;
   double seconds = 0;
   std::string inFlight; // the calls into the plug-in that had not returned, if any

   bool signaled() const;
   int signal() const;     // when signaled()
   int exitStatus() const; // -1 unless the child exited
   // "SIGSEGV (invalid memory access)" when signaled, else "exit status N".
   std::string endText() const;
   // " in effProcess ..." when a call was in flight, else empty.
   std::string inFlightSuffix() const;
};

// Writes all of `bytes` to `fd`, retrying after interruptions; false if the pipe broke.
bool writeAll(int fd, const std::string& bytes);

// A child at work. Not copyable; destroying a running child kills and reaps it.
class ChildProcess {
public:
   using Body = std::function<std::string()>;
   using Clock = std::chrono::steady_clock;

   // Forks a child that runs `body` and writes what it returns to the pipe, then exits with 0.
   // An exception out of `body` is written as "threw WHAT" with status letter `failLetter`
   // first when it is not 0. Throws ToolError(ExitCode::failed) if no process can be started.
   static ChildProcess start(const Body& body, const ChildOptions& options, char failLetter = 0);

   ChildProcess(ChildProcess&& other) noexcept;
   ChildProcess& operator=(ChildProcess&& other) noexcept;
   ChildProcess(const ChildProcess&) = delete;
   ChildProcess& operator=(const ChildProcess&) = delete;
   ~ChildProcess();

   pid_t pid() const { return pid_; }
   int fd() const { return fd_; }
   Clock::time_point deadline() const { return deadline_; }

   // Reads what is there without blocking and reaps the child if it has ended. True once the
   // child is done: its pipe at its end, or the child gone even if a process it started keeps
   // the pipe open.
   bool pump();
   // Waits for the child to finish or its time to pass, then kills it if it still runs, reaps it
   // and says how it ended.
   ChildResult finish();

private:
   ChildProcess() = default;
   void release();

   pid_t pid_ = -1;
   int fd_ = -1;
   bool reaped_ = false;
   bool atEnd_ = false;
   int status_ = 0;
   Clock::time_point started_{}, deadline_{};
   std::string received_;
   CallInFlight* slots_ = nullptr;
};

// Runs `body` in a child and waits for it to end.
ChildResult runInChild(const ChildProcess::Body& body, const ChildOptions& options,
                       char failLetter = 0);

// Waits until one of `children` has something to read, has ended or reaches its deadline, at
// most `maxMilliseconds`. Interrupted waits return early; the caller pumps every child after.
void waitForAny(const std::vector<ChildProcess*>& children, int maxMilliseconds);

} // namespace plughost
