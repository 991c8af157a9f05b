// SPDX-License-Identifier: MIT
// A session hosted in a helper process (`plughost serve`), started by exec so that a threaded
// caller (a Python interpreter, a notebook, a Dask worker) is never forked. Requests and answers
// travel over a socket as length-prefixed messages; audio travels through memory files passed
// with the request, and the helper writes the result straight into the caller's output memory.
// The helper writes each call it makes into the plug-in, and a progress count, into memory shared
// with the caller, so that a crash or a hang can be told with the call it happened in.
#include "tools/hostlib/fatal_signal.h"
#include "tools/hostlib/plugin_instance.h"
#include "tools/hostlib/session.h"

#include <trimwise/host/plugin.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <type_traits>

extern char** environ;

namespace plughost {
namespace {

using trimwise::host::BadArgument;
using trimwise::host::Error;
using trimwise::host::ErrorKind;
using trimwise::host::PluginCrashed;
using trimwise::host::PluginTimeout;

// What the helper shares with the caller: its progress (counted up between chunks and calls)
// and the calls in flight of its threads.
struct SharedRecord {
   std::atomic<uint64_t> progress;
   CallInFlight calls[4];
};

enum class Op : uint32_t {
   open,
   name,
   label,
   display,
   value,
   setValue,
   setText,
   find,
   programs,
   program,
   setProgram,
   save,
   load,
   outputFrames,
   process32,
   process64,
   processFile,
   scan,
};
enum class Status : uint32_t { ok, error, crashed };

// A message under construction, and one being read. Reading past the end is a broken helper.
class Writer {
public:
   template <class T>
   Writer& put(const T& value) {
      static_assert(std::is_trivially_copyable_v<T>);
      bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
      return *this;
   }
   Writer& text(const std::string& value) {
      put(static_cast<uint64_t>(value.size()));
      bytes += value;
      return *this;
   }
   std::string bytes;
};

class Reader {
public:
   // Keeps its own copy, so that it may be made from an answer returned by value.
   explicit Reader(std::string bytes)
       : bytes_(std::move(bytes)), at_(bytes_.data()), end_(at_ + bytes_.size()) {}
   template <class T>
   T get() {
      T value;
      need(sizeof value);
      std::memcpy(&value, at_, sizeof value);
      at_ += sizeof value;
      return value;
   }
   std::string text() {
      const auto size = get<uint64_t>();
      need(size);
      std::string value(at_, size);
      at_ += size;
      return value;
   }

private:
   void need(size_t n) const {
      if (static_cast<size_t>(end_ - at_) < n) {
         throw Error(ErrorKind::failed, "a malformed message between host and helper",
                     "the plughost helper does not match this host library");
      }
   }
   std::string bytes_;
   const char* at_;
   const char* end_;
};

// Throws the error of `kind` the helper reported, as its own type.
[[noreturn]] void throwError(ErrorKind kind, const std::string& cause, const std::string& hint) {
   switch (kind) {
   case ErrorKind::load:
      throw trimwise::host::LoadError(cause, hint);
   case ErrorKind::badArgument:
      throw BadArgument(cause, hint);
   case ErrorKind::file:
      throw trimwise::host::FileError(cause, hint);
   case ErrorKind::crash:
      throw PluginCrashed(cause, hint);
   case ErrorKind::failed:
      break;
   }
   throw Error(ErrorKind::failed, cause, hint);
}

void putPlan(Writer& w, const ProcessPlan& s) {
   w.put(s.channels).put(static_cast<uint64_t>(s.frames)).put(s.sampleRate).put(s.blockSize);
   w.put(static_cast<uint8_t>(s.reset)).put(s.tail).put(s.duration);
   w.put(static_cast<uint8_t>(s.compensateLatency)).put(static_cast<uint64_t>(s.midi.size()));
   for (const auto& e : s.midi)
      w.put(e.seconds).text(e.bytes);
   w.text(s.midiFile);
}

ProcessPlan getPlan(Reader& r) {
   ProcessPlan s;
   s.channels = r.get<int>();
   s.frames = static_cast<size_t>(r.get<uint64_t>());
   s.sampleRate = r.get<double>();
   s.blockSize = r.get<int32_t>();
   s.reset = r.get<uint8_t>() != 0;
   s.tail = r.get<double>();
   s.duration = r.get<double>();
   s.compensateLatency = r.get<uint8_t>() != 0;
   const auto events = r.get<uint64_t>();
   for (uint64_t i = 0; i < events; ++i) {
      const double seconds = r.get<double>();
      s.midi.push_back({seconds, r.text()});
   }
   s.midiFile = r.text();
   return s;
}

void putJob(Writer& w, const FileJob& j) {
   w.text(j.input).text(j.output).put(static_cast<uint8_t>(j.overwrite)).text(j.encoding);
   w.text(j.midi).put(j.tail).put(j.blockSize).put(j.precision);
}

FileJob getJob(Reader& r) {
   FileJob j;
   j.input = r.text();
   j.output = r.text();
   j.overwrite = r.get<uint8_t>() != 0;
   j.encoding = r.text();
   j.midi = r.text();
   j.tail = r.get<double>();
   j.blockSize = r.get<int32_t>();
   j.precision = r.get<int>();
   return j;
}

void putResult(Writer& w, const FileOutcome& f) {
   w.put(static_cast<uint64_t>(f.frames)).put(f.sampleRate).put(f.inputChannels);
   w.put(f.outputChannels).text(f.outputFormat).text(f.formatNote).put(f.clipped);
}

FileOutcome getResult(Reader& r) {
   FileOutcome f;
   f.frames = static_cast<size_t>(r.get<uint64_t>());
   f.sampleRate = r.get<int>();
   f.inputChannels = r.get<int>();
   f.outputChannels = r.get<int>();
   f.outputFormat = r.text();
   f.formatNote = r.text();
   f.clipped = r.get<uint64_t>();
   return f;
}

void putInfo(Writer& w, const SessionInfo& i) {
   w.text(i.path).text(i.name).text(i.vendor).put(i.uniqueId).put(i.inputs).put(i.outputs);
   w.put(i.parameters).put(i.programs).put(i.category).put(i.latency);
   w.put(static_cast<uint8_t>(i.instrument)).put(static_cast<uint8_t>(i.doublePrecision));
   w.put(static_cast<uint8_t>(i.chunks));
}

SessionInfo getInfo(Reader& r) {
   SessionInfo i;
   i.path = r.text();
   i.name = r.text();
   i.vendor = r.text();
   i.uniqueId = r.get<int32_t>();
   i.inputs = r.get<int32_t>();
   i.outputs = r.get<int32_t>();
   i.parameters = r.get<int32_t>();
   i.programs = r.get<int32_t>();
   i.category = r.get<int32_t>();
   i.latency = r.get<int32_t>();
   i.instrument = r.get<uint8_t>() != 0;
   i.doublePrecision = r.get<uint8_t>() != 0;
   i.chunks = r.get<uint8_t>() != 0;
   return i;
}

Error systemError(const std::string& what) {
   return Error(ErrorKind::failed, what + ": " + std::strerror(errno),
                "the system is short of processes, memory or file descriptors");
}

// Sends one message, with up to two file descriptors attached to its first byte.
bool sendMessage(int fd, uint32_t tag, const std::string& payload, const int* fds = nullptr,
                 int fdCount = 0) {
   std::string frame(8, '\0');
   const auto size = static_cast<uint32_t>(payload.size());
   std::memcpy(frame.data(), &tag, 4);
   std::memcpy(frame.data() + 4, &size, 4);
   frame += payload;
   size_t sent = 0;
   while (sent < frame.size()) {
      iovec io{frame.data() + sent, frame.size() - sent};
      msghdr msg{};
      msg.msg_iov = &io;
      msg.msg_iovlen = 1;
      alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))];
      if (sent == 0 && fdCount > 0) {
         msg.msg_control = control;
         msg.msg_controllen = CMSG_SPACE(static_cast<size_t>(fdCount) * sizeof(int));
         cmsghdr* c = CMSG_FIRSTHDR(&msg);
         c->cmsg_level = SOL_SOCKET;
         c->cmsg_type = SCM_RIGHTS;
         c->cmsg_len = CMSG_LEN(static_cast<size_t>(fdCount) * sizeof(int));
         std::memcpy(CMSG_DATA(c), fds, static_cast<size_t>(fdCount) * sizeof(int));
      }
      const ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
   }
   return true;
}

// Reads exactly `size` bytes, collecting descriptors that come with them. False at the end.
bool readExactly(int fd, char* to, size_t size, std::vector<int>* fds) {
   size_t got = 0;
   while (got < size) {
      iovec io{to + got, size - got};
      msghdr msg{};
      msg.msg_iov = &io;
      msg.msg_iovlen = 1;
      alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))];
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      const ssize_t n = recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
         if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
         const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
         for (size_t i = 0; i < count; ++i) {
            int received;
            std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
            if (fds) {
               fds->push_back(received);
            } else {
               close(received);
            }
         }
      }
      got += static_cast<size_t>(n);
   }
   return true;
}

bool readMessage(int fd, uint32_t& tag, std::string& payload, std::vector<int>* fds = nullptr) {
   char head[8];
   if (!readExactly(fd, head, sizeof head, fds)) return false;
   uint32_t size;
   std::memcpy(&tag, head, 4);
   std::memcpy(&size, head + 4, 4);
   payload.resize(size);
   return readExactly(fd, payload.data(), size, fds);
}

// A memory file of `bytes` bytes mapped shared; it unmaps and closes itself.
class SharedMemory {
public:
   explicit SharedMemory(size_t bytes, int fd = -1) : size_(std::max<size_t>(bytes, 1)), fd_(fd) {
      if (fd_ < 0) {
         fd_ = memfd_create("plughost-audio", MFD_CLOEXEC);
         if (fd_ < 0 || ftruncate(fd_, static_cast<off_t>(size_)) != 0) {
            if (fd_ >= 0) close(fd_);
            throw systemError("cannot make shared memory");
         }
      }
      data_ = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
      if (data_ == MAP_FAILED) {
         close(fd_);
         throw systemError("cannot map shared memory");
      }
   }
   ~SharedMemory() {
      munmap(data_, size_);
      close(fd_);
   }
   SharedMemory(const SharedMemory&) = delete;
   SharedMemory& operator=(const SharedMemory&) = delete;
   void* data() const { return data_; }
   size_t size() const { return size_; }
   int fd() const { return fd_; }

private:
   size_t size_;
   int fd_;
   void* data_;
};

// The caller's side: forwards every operation to the helper and waits for its answer.
class IsolatedSession final : public PluginSession {
public:
   IsolatedSession(const std::string& helper, const std::string& path, double sampleRate,
                   int32_t blockSize, double timeout)
       : record_(sizeof(SharedRecord)), timeout_(timeout), rate_(sampleRate), block_(blockSize) {
      if (!(timeout > 0.0)) {
         throw BadArgument("a time limit of " + std::to_string(timeout) + " s",
                           "give a time limit above 0 seconds");
      }
      start(helper);
      if (path.empty()) return; // a helper for work without a plug-in of its own (scan)
      try {
         Writer w;
         w.text(path).put(sampleRate).put(blockSize);
         Reader r(call(Op::open, w, "loading the plug-in"));
         info_ = getInfo(r);
      } catch (...) {
         shutDown();
         throw;
      }
   }

   ~IsolatedSession() override { shutDown(); }

   void shutDown() {
      if (pid_ > 0) {
         close(socket_);
         // The helper ends when its socket closes; one that does not is ended.
         for (int i = 0; i < 50 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i)
            usleep(10000);
         if (waitpid(pid_, nullptr, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
         }
         pid_ = 0;
      }
   }

   const SessionInfo& info() const override { return info_; }
   double sampleRate() const override { return rate_; }
   int32_t blockSize() const override { return block_; }

   std::string parameterName(int32_t index) override { return textAt(Op::name, index); }
   std::string parameterLabel(int32_t index) override { return textAt(Op::label, index); }
   std::string parameterDisplay(int32_t index) override { return textAt(Op::display, index); }
   float parameterValue(int32_t index) override {
      Reader r(call(Op::value, Writer().put(index), "reading a parameter"));
      return r.get<float>();
   }
   void setParameterValue(int32_t index, float value) override {
      call(Op::setValue, Writer().put(index).put(value), "setting a parameter");
   }
   void setParameterText(int32_t index, const std::string& text) override {
      call(Op::setText, Writer().put(index).text(text), "setting a parameter");
   }
   int32_t findParameter(const std::string& name) override {
      Reader r(call(Op::find, Writer().text(name), "reading the parameter names"));
      return r.get<int32_t>();
   }
   std::vector<std::string> programNames() override {
      Reader r(call(Op::programs, Writer(), "reading the program names"));
      std::vector<std::string> names(r.get<uint64_t>());
      for (auto& name : names)
         name = r.text();
      return names;
   }
   int32_t program() override {
      Reader r(call(Op::program, Writer(), "reading the program"));
      return r.get<int32_t>();
   }
   void setProgram(int32_t index) override {
      call(Op::setProgram, Writer().put(index), "changing the program");
   }
   std::vector<unsigned char> saveState() override {
      const std::string bytes = call(Op::save, Writer(), "saving the state");
      return {bytes.begin(), bytes.end()};
   }
   void loadState(const std::vector<unsigned char>& state) override {
      call(Op::load, Writer().text(std::string(state.begin(), state.end())), "restoring state");
   }

   std::shared_ptr<void> outputMemory(size_t bytes) override {
      auto memory = std::make_shared<SharedMemory>(bytes);
      output_ = memory;
      return {memory, memory->data()};
   }
   size_t outputFrames(const ProcessPlan& plan) override {
      Writer w;
      putPlan(w, plan);
      Reader r(call(Op::outputFrames, w, "measuring the output"));
      return static_cast<size_t>(r.get<uint64_t>());
   }
   void process(const ProcessPlan& plan, const float* const* in, float* const* out,
                const KeepGoing& keepGoing) override {
      run(Op::process32, plan, in, out, keepGoing);
   }
   void process(const ProcessPlan& plan, const double* const* in, double* const* out,
                const KeepGoing& keepGoing) override {
      run(Op::process64, plan, in, out, keepGoing);
   }

   // Every plug-in on the search path, probed by the helper: it forks the probes, never the
   // caller.
   std::vector<trimwise::host::PluginInfo> scan(double probeTimeout) {
      Reader r(call(Op::scan, Writer().put(probeTimeout), "scanning"));
      std::vector<trimwise::host::PluginInfo> found(r.get<uint64_t>());
      for (auto& i : found) {
         i.path = r.text();
         i.name = r.text();
         i.vendor = r.text();
         i.uniqueId = r.get<int32_t>();
         i.category = r.get<int32_t>();
         i.inputs = r.get<int32_t>();
         i.outputs = r.get<int32_t>();
         i.parameters = r.get<int32_t>();
         i.flags = r.get<int32_t>();
         i.isInstrument = r.get<uint8_t>() != 0;
         i.usable = r.get<uint8_t>() != 0;
         i.reason = r.text();
      }
      return found;
   }

   FileOutcome processFile(const FileJob& job, const KeepGoing& keepGoing) override {
      Writer w;
      putJob(w, job);
      Reader r(call(Op::processFile, w, "processing a file", nullptr, keepGoing));
      return getResult(r);
   }

private:
   SharedRecord& shared() const { return *static_cast<SharedRecord*>(record_.data()); }

   void start(const std::string& helper) {
      int pair[2];
      if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
         throw systemError("cannot make a socket for the helper");
      }
      // The child's ends go to descriptors 3 and 4; copies above them cannot collide.
      const int childSocket = fcntl(pair[1], F_DUPFD_CLOEXEC, 10);
      const int childRecord = fcntl(record_.fd(), F_DUPFD_CLOEXEC, 10);
      close(pair[1]);
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_adddup2(&actions, childSocket, 3);
      posix_spawn_file_actions_adddup2(&actions, childRecord, 4);
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
      const char* argv[] = {helper.c_str(), "serve", "3", "4", nullptr};
      const int error = posix_spawn(&pid_, helper.c_str(), &actions, nullptr,
                                    const_cast<char* const*>(argv), environ);
      posix_spawn_file_actions_destroy(&actions);
      close(childSocket);
      close(childRecord);
      socket_ = pair[0];
      if (error != 0) {
         pid_ = 0;
         close(socket_);
         throw trimwise::host::LoadError(
             "cannot start the helper '" + helper + "': " + std::strerror(error),
             "install plughost, or set PLUGHOST_HELPER to the plughost executable");
      }
   }

   std::string textAt(Op op, int32_t index) {
      Reader r(call(op, Writer().put(index), "reading a parameter"));
      return r.text();
   }

   template <class Sample>
   void run(Op op, const ProcessPlan& plan, const Sample* const* in, Sample* const* out,
            const KeepGoing& keepGoing) {
      const size_t outFrames = outputFrames(plan);
      const auto outputs = static_cast<size_t>(info_.outputs);
      const size_t outBytes = outputs * outFrames * sizeof(Sample);
      // The helper writes straight into the caller's memory when it is what outputMemory()
      // gave, channel after channel; otherwise into memory of its own, copied out here.
      auto given = output_.lock();
      bool direct = given && outputs > 0 && given->size() >= outBytes &&
                    out[0] == static_cast<Sample*>(given->data());
      for (size_t c = 1; direct && c < outputs; ++c)
         direct = out[c] == out[0] + c * outFrames;
      const auto target = direct ? given : std::make_shared<SharedMemory>(outBytes);
      const auto channels = static_cast<size_t>(plan.channels);
      SharedMemory input(channels * plan.frames * sizeof(Sample));
      // std::copy_n rather than memcpy: an empty signal may come with null channel pointers.
      for (size_t c = 0; c < channels; ++c)
         std::copy_n(in[c], plan.frames, static_cast<Sample*>(input.data()) + c * plan.frames);
      Writer w;
      putPlan(w, plan);
      const int fds[2] = {input.fd(), target->fd()};
      call(op, w, "processing", fds, keepGoing);
      for (size_t c = 0; c < outputs && !direct; ++c)
         std::copy_n(static_cast<Sample*>(target->data()) + c * outFrames, outFrames, out[c]);
      if (plan.reset) {
         if (plan.sampleRate > 0.0) rate_ = plan.sampleRate;
         if (plan.blockSize > 0) block_ = plan.blockSize;
      }
   }

   // Sends one request and waits for its answer; an error the helper reports is thrown here.
   std::string call(Op op, const Writer& request, const char* activity, const int* fds = nullptr,
                    const KeepGoing& keepGoing = {}) {
      if (pid_ <= 0) {
         throw Error(ErrorKind::failed, "the plug-in's helper process has ended",
                     "load the plug-in again");
      }
      const int fdCount = fds ? 2 : 0;
      if (!sendMessage(socket_, static_cast<uint32_t>(op), request.bytes, fds, fdCount)) {
         ended(activity);
      }
      awaitAnswer(activity, keepGoing);
      uint32_t status;
      std::string answer;
      if (!readMessage(socket_, status, answer)) ended(activity);
      Reader r(answer); // a copy: `answer` is returned when all went well
      switch (static_cast<Status>(status)) {
      case Status::ok:
         return answer;
      case Status::error: {
         const auto kind = static_cast<ErrorKind>(r.get<int32_t>());
         const std::string cause = r.text();
         throwError(kind, cause, r.text());
      }
      case Status::crashed: {
         const std::string what = r.text();
         const std::string inCall = r.text();
         reap();
         throw PluginCrashed("the plug-in threw a C++ exception (" + what + ")" + where(inCall) +
                                 " while " + activity,
                             "the plug-in has a fault; its helper process was ended", inCall);
      }
      }
      ended(activity);
   }

   // Waits until the answer can be read, ending the helper when it makes no progress for the
   // time limit. Between waits the caller may stop the call (keepGoing throws).
   void awaitAnswer(const char* activity, const KeepGoing& keepGoing) {
      using Clock = std::chrono::steady_clock;
      uint64_t progress = shared().progress.load();
      auto lastProgress = Clock::now();
      for (;;) {
         pollfd p{socket_, POLLIN, 0};
         const int ready = poll(&p, 1, 100);
         if (ready > 0) return;
         if (ready < 0 && errno != EINTR) ended(activity);
         if (keepGoing) {
            try {
               keepGoing();
            } catch (...) {
               stop();
               throw;
            }
         }
         const uint64_t now = shared().progress.load();
         if (now != progress) {
            progress = now;
            lastProgress = Clock::now();
         } else if (std::chrono::duration<double>(Clock::now() - lastProgress).count() > timeout_) {
            const std::string inCall = callInFlight();
            stop();
            throw PluginTimeout("the plug-in made no progress for " + seconds(timeout_) +
                                    where(inCall) + " while " + activity,
                                "it may hang; allow it a longer time limit if it is only slow",
                                inCall);
         }
      }
   }

   static std::string seconds(double s) {
      char text[32];
      std::snprintf(text, sizeof text, "%g s", s);
      return text;
   }

   // The call the helper was making into the plug-in, or empty.
   std::string callInFlight() const {
      for (const CallInFlight& c : shared().calls) {
         if (c.kind != CallInFlight::none) return describeCallInFlight(c);
      }
      return "";
   }

   static std::string where(const std::string& call) {
      return call.empty() ? " outside any call into the plug-in" : " in " + call;
   }

   // Ends the helper: SIGTERM first, so that it removes an output file it was writing, then
   // SIGKILL if it has not ended within a second.
   void stop() {
      kill(pid_, SIGTERM);
      for (int i = 0; i < 100; ++i) {
         if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            close(socket_);
            pid_ = 0;
            return;
         }
         usleep(10000);
      }
      kill(pid_, SIGKILL);
      reap();
   }

   int reap() {
      int status = 0;
      while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      close(socket_);
      pid_ = 0;
      return status;
   }

   [[noreturn]] void ended(const char* activity) {
      const std::string inCall = callInFlight();
      kill(pid_, SIGKILL); // ends a helper that closed its socket but lives on
      const int status = reap();
      const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
      const std::string how =
          signal != 0 ? "the plug-in crashed with " + describeSignal(signal)
                      : "the plug-in ended its process (exit status " +
                            std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")";
      throw PluginCrashed(how + where(inCall) + " while " + activity,
                          "the plug-in has a fault; its helper process was ended", inCall, signal);
   }

   SharedMemory record_;
   double timeout_;
   double rate_;
   int32_t block_;
   pid_t pid_ = 0;
   int socket_ = -1;
   SessionInfo info_;
   std::weak_ptr<SharedMemory> output_;
};

// The helper's side: one request after another into a session in this process.
class Server {
public:
   explicit Server(SharedRecord& shared) : shared_(shared) {}

   std::string handle(Op op, Reader& r, std::vector<int>& fds) {
      Writer w;
      if (op == Op::scan) {
         const auto found = trimwise::host::scan(trimwise::host::searchPath(), 2, r.get<double>());
         w.put(static_cast<uint64_t>(found.size()));
         for (const auto& i : found) {
            w.text(i.path).text(i.name).text(i.vendor).put(i.uniqueId).put(i.category);
            w.put(i.inputs).put(i.outputs).put(i.parameters).put(i.flags);
            w.put(static_cast<uint8_t>(i.isInstrument)).put(static_cast<uint8_t>(i.usable));
            w.text(i.reason);
         }
         return w.bytes;
      }
      if (op == Op::open) {
         const std::string path = r.text();
         const double rate = r.get<double>();
         session_ = openSession(path, rate, r.get<int32_t>());
         putInfo(w, session_->info());
         return w.bytes;
      }
      if (!session_) throw Error(ErrorKind::failed, "no plug-in is loaded", "load one first");
      PluginSession& s = *session_;
      switch (op) {
      case Op::name:
         return w.text(s.parameterName(r.get<int32_t>())).bytes;
      case Op::label:
         return w.text(s.parameterLabel(r.get<int32_t>())).bytes;
      case Op::display:
         return w.text(s.parameterDisplay(r.get<int32_t>())).bytes;
      case Op::value:
         return w.put(s.parameterValue(r.get<int32_t>())).bytes;
      case Op::setValue: {
         const auto index = r.get<int32_t>();
         s.setParameterValue(index, r.get<float>());
         return {};
      }
      case Op::setText: {
         const auto index = r.get<int32_t>();
         s.setParameterText(index, r.text());
         return {};
      }
      case Op::find:
         return w.put(s.findParameter(r.text())).bytes;
      case Op::programs: {
         const auto names = s.programNames();
         w.put(static_cast<uint64_t>(names.size()));
         for (const auto& name : names)
            w.text(name);
         return w.bytes;
      }
      case Op::program:
         return w.put(s.program()).bytes;
      case Op::setProgram:
         s.setProgram(r.get<int32_t>());
         return {};
      case Op::save: {
         const auto state = s.saveState();
         return std::string(state.begin(), state.end());
      }
      case Op::load: {
         const std::string bytes = r.text();
         s.loadState({bytes.begin(), bytes.end()});
         return {};
      }
      case Op::outputFrames:
         return w.put(static_cast<uint64_t>(s.outputFrames(getPlan(r)))).bytes;
      case Op::process32:
         return process<float>(s, getPlan(r), fds);
      case Op::process64:
         return process<double>(s, getPlan(r), fds);
      case Op::processFile: {
         const FileOutcome result = s.processFile(
             getJob(r), [this] { shared_.progress.fetch_add(1, std::memory_order_relaxed); });
         putResult(w, result);
         return w.bytes;
      }
      case Op::open:
      case Op::scan:
         break;
      }
      throw Error(ErrorKind::failed, "an unknown request", "the helper does not match");
   }

private:
   template <class Sample>
   std::string process(PluginSession& s, const ProcessPlan& plan, std::vector<int>& fds) {
      if (fds.size() != 2) throw Error(ErrorKind::failed, "no audio memory", "");
      const size_t frames = s.outputFrames(plan);
      const auto outputs = static_cast<size_t>(s.info().outputs);
      const auto channels = static_cast<size_t>(plan.channels);
      SharedMemory input(channels * plan.frames * sizeof(Sample), fds[0]);
      SharedMemory output(outputs * frames * sizeof(Sample), fds[1]);
      fds.clear();
      std::vector<const Sample*> in;
      std::vector<Sample*> out;
      for (size_t c = 0; c < channels; ++c)
         in.push_back(static_cast<const Sample*>(input.data()) + c * plan.frames);
      for (size_t c = 0; c < outputs; ++c)
         out.push_back(static_cast<Sample*>(output.data()) + c * frames);
      s.process(plan, in.data(), out.data(),
                [this] { shared_.progress.fetch_add(1, std::memory_order_relaxed); });
      return {};
   }

   SharedRecord& shared_;
   std::unique_ptr<PluginSession> session_;
};

} // namespace

std::unique_ptr<PluginSession> openIsolatedSession(const std::string& helper,
                                                   const std::string& path, double sampleRate,
                                                   int32_t blockSize, double timeoutSeconds) {
   return std::make_unique<IsolatedSession>(helper, path, sampleRate, blockSize, timeoutSeconds);
}

std::vector<trimwise::host::PluginInfo> scanInHelper(const std::string& helper,
                                                     double probeTimeout) {
   // The probes have time limits of their own; the helper only has to come back.
   IsolatedSession session(helper, "", 44100.0, 512, 86400.0);
   return session.scan(probeTimeout);
}

std::string defaultHelper() {
   const char* fromEnvironment = std::getenv("PLUGHOST_HELPER");
   if (fromEnvironment && *fromEnvironment) return fromEnvironment;
   for (const char* installed : {PLUGHOST_INSTALLED_HELPER, "/usr/bin/plughost"}) {
      if (access(installed, X_OK) == 0) return installed;
   }
   return PLUGHOST_INSTALLED_HELPER;
}

int serveSession(int fd, int recordFd) {
   // The helper dies with its caller (also when a plug-in hangs), and a crash in it leaves no
   // core file behind.
   prctl(PR_SET_PDEATHSIG, SIGKILL);
   // A fatal signal or SIGTERM removes the output file being written, and ends the helper by
   // that signal, so that the caller can name it.
   removePendingOnSignals();
   rlimit noCore{0, 0};
   setrlimit(RLIMIT_CORE, &noCore);
   void* mapped =
       mmap(nullptr, sizeof(SharedRecord), PROT_READ | PROT_WRITE, MAP_SHARED, recordFd, 0);
   if (mapped == MAP_FAILED) return 1;
   auto& shared = *static_cast<SharedRecord*>(mapped);
   recordCallsInFlight(shared.calls, std::size(shared.calls));
   Server server(shared);
   for (;;) {
      uint32_t tag;
      std::string request;
      std::vector<int> fds;
      if (!readMessage(fd, tag, request, &fds)) return 0; // the caller closed the session
      Reader r(request);
      std::string answer;
      Status status = Status::ok;
      try {
         answer = server.handle(static_cast<Op>(tag), r, fds);
      } catch (const Error& e) {
         Writer w;
         w.put(static_cast<int32_t>(e.kind())).text(e.what()).text(e.hint());
         answer = w.bytes;
         status = Status::error;
      } catch (...) {
         // An exception out of the plug-in: the instance cannot be trusted any more.
         std::string what = "not a std::exception";
         try {
            throw;
         } catch (const std::exception& e) {
            what = e.what();
         } catch (...) {
         }
         const CallInFlight* inCall = nullptr;
         for (const CallInFlight& c : shared.calls) {
            if (c.kind != CallInFlight::none && !inCall) inCall = &c;
         }
         Writer w;
         w.text(what).text(inCall ? describeCallInFlight(*inCall) : "");
         sendMessage(fd, static_cast<uint32_t>(Status::crashed), w.bytes);
         _exit(1);
      }
      for (const int f : fds)
         close(f);
      shared.progress.fetch_add(1, std::memory_order_relaxed);
      if (!sendMessage(fd, static_cast<uint32_t>(status), answer)) return 0;
   }
}

} // namespace plughost
