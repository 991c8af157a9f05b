// SPDX-License-Identifier: MIT
/// @file
/// The raw layer of the host library: the record itself and the instruments a validator needs.
/// UNSTABLE: what is declared under trimwise::host::raw may change in any minor version. Programs
/// that only host plug-ins use <trimwise/host/plugin.h> and <trimwise/host/instance.h>.
///
/// One plug-in instance as the host sees it: the record from the entry point, the host callback
/// that answers the instance's requests as a real host does, and typed wrappers around the
/// record's functions. Threads: an instance is driven by one thread at a time, except that
/// process() may run on an audio thread while another thread sets and reads parameters, as hosts
/// do; dispatch() is never called during process() by the host library itself.
#pragma once

#include "framework/plugin_interface.h"
#include <trimwise/host/raw/module.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <utility>

/// The unstable layer under the facade: the record, calls in flight, guarded text buffers,
/// request logs and the audio thread. May change in any minor version.
namespace trimwise::host::raw {

/// Receives one line per dispatcher command and host request when tracing is on.
using TraceSink = std::function<void(const std::string& line)>;

/// What the host tells the instance when it starts it, and answers when the instance asks.
struct HostSettings {
   float sampleRate = 44100.0f;
   int32_t blockSize = 512;
   TraceSink trace; ///< empty: no trace
   /// The process level answered during processing: real time (a host's audio thread) or
   /// offline (a renderer such as `plughost process`).
   bool realtime = false;
   /// Whether requests() keeps what the instance asked. The log never allocates either way.
   bool logRequests = true;
};

/// The host's own identity, answered to audioMasterGetVendorString and friends.
inline constexpr const char* kHostVendor = "Trimwise";
inline constexpr const char* kHostProduct = "plughost";
inline constexpr int32_t kHostVersion = 1000;
/// The transport this host plays while an instance is running.
inline constexpr double kDefaultTempo = 120.0;

/// One request the instance sent through the host callback.
struct HostRequest {
   int32_t opcode;
   int32_t index;
   intptr_t value;
   float opt;
};

/// A text the instance wrote into a host buffer, and how far into the buffer it wrote.
struct TextAnswer {
   std::string text;        ///< up to the first NUL, or the whole buffer if there is none
   intptr_t result = 0;     ///< the dispatcher's answer
   size_t extent = 0;       ///< bytes written: index of the last byte changed, plus one
   bool terminated = false; ///< a NUL lies within the buffer
};

/// The call a thread is making into a plug-in, kept as plain numbers so that it can be written
/// on every call without allocating and read after the process died in it (see
/// recordCallsInFlight).
struct CallInFlight {
   enum Kind : int32_t { none, entry, dispatch, setParameter, getParameter, process, process64 };
   int32_t kind;
   int32_t opcode;
   int32_t index;
   int32_t frames;
   intptr_t value;
   float opt;
};

/// Makes every instance describe each call it makes into `slots` (one slot per calling thread,
/// the first `count` threads) before the call, and clear it after. The caller keeps the slots
/// where they survive a crash, such as memory shared with a parent process. Null: no records.
void recordCallsInFlight(CallInFlight* slots, size_t count);
/// "effSetSampleRate(index 0, value 0, opt 44100)", "processReplacing(512 frames)", ...
std::string describeCallInFlight(const CallInFlight& call);

/// One instance driven through its record: every dispatcher command, parameter and processing
/// call, each noted as the call in flight, with the host callback's answers logged.
class PluginInstance {
public:
   /// Room given for every text the instance writes; far above the longest limit (64), so an
   /// instance that overruns its limit is caught by the extent instead of corrupting memory.
   static constexpr size_t kTextBufferSize = 256;
   /// Requests and automated changes kept; later ones are counted but not kept.
   static constexpr size_t kLogCapacity = 4096;

   /// Calls the module's entry point, then opens the instance and tells it the sample rate and
   /// block size. Throws an Error of kind load if the entry returns no usable record.
   explicit PluginInstance(std::shared_ptr<PluginModule> module, HostSettings settings = {});

   /// Stops the instance if it is running and closes it unless close() already did.
   ~PluginInstance();

   /// The host callback's answers find their instance through the record's address.
   PluginInstance(const PluginInstance&) = delete;
   PluginInstance& operator=(const PluginInstance&) = delete;

   const AEffect& record() const { return *effect_; }
   const PluginModule& module() const { return *module_; }
   const HostSettings& settings() const { return settings_; }

   /// A raw dispatcher call, traced. Not for effClose: use close(). effSetSampleRate and
   /// effSetBlockSize also change what the host answers when asked for them. Control thread;
   /// during processing only what hosts send from the audio thread (effProcessEvents).
   intptr_t dispatch(int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr,
                     float opt = 0.0f);

   /// Runs a text command (effGetEffectName, effGetParamDisplay, ...) over a guarded buffer.
   /// Control thread; allocates, so not on the audio thread.
   TextAnswer readText(int32_t opcode, int32_t index = 0);

   /// Switches processing on (effMainsChanged 1, effStartProcess) and off again, as a host does
   /// around a run of processing calls. The transport plays while processing is on. Control
   /// thread, never during processing.
   void start();
   void stop();
   bool running() const { return running_; }

   /// Sends effClose and forgets the record, which no longer exists afterwards. Returns the
   /// dispatcher's answer to effClose.
   intptr_t close();
   bool closed() const { return effect_ == nullptr; }

   std::string effectName() { return readText(effGetEffectName).text; }
   std::string vendorString() { return readText(effGetVendorString).text; }
   std::string productString() { return readText(effGetProductString).text; }
   std::string programName() { return readText(effGetProgramName).text; }
   std::string parameterName(int32_t index) { return readText(effGetParamName, index).text; }
   std::string parameterLabel(int32_t index) { return readText(effGetParamLabel, index).text; }
   std::string parameterDisplay(int32_t index) { return readText(effGetParamDisplay, index).text; }
   void setProgramName(const std::string& name);
   int32_t canDo(const char* capability);

   /// The record's parameter functions. Any thread, also while another processes.
   float getParameter(int32_t index);
   void setParameter(int32_t index, float value);

   /// Hands the events of the next processing call to the instance (effProcessEvents). The
   /// record and the events must stay valid until that call returns.
   intptr_t sendEvents(VstEvents& events) { return dispatch(effProcessEvents, 0, 0, &events); }

   bool canProcessDouble() const {
      return (effect_->flags & effFlagsCanDoubleReplacing) && effect_->processDoubleReplacing;
   }
   /// The replacing functions. Each call moves the transport on by `frames`. Audio thread (one
   /// at a time); allocates nothing unless tracing is on.
   void process(float** inputs, float** outputs, int32_t frames);
   void process(double** inputs, double** outputs, int32_t frames);

   /// The tempo the transport plays at from the current position on (beats per minute), answered
   /// in the time information. The musical position so far is kept, so a tempo map played change
   /// by change gives the same quarter-note positions as the map. Between processing calls.
   void setTempo(double bpm);
   /// Frames processed since the instance was created: the transport's position.
   int64_t samplePosition() const { return samplePos_.load(std::memory_order_relaxed); }

   /// Requests the instance has sent, the entry point's version request included: the first
   /// kLogCapacity of them (none if settings().logRequests is off). Read while no call runs.
   std::span<const HostRequest> requests() const;
   /// Parameter changes the instance reported with audioMasterAutomate: index and value.
   std::span<const std::pair<int32_t, float>> automation() const;
   /// How often the instance said its inputs, outputs or latency changed (audioMasterIOChanged).
   int32_t ioChanges() const { return ioChanges_.load(std::memory_order_relaxed); }

   /// The function handed to the entry point. Never allocates unless tracing is on, and may be
   /// called from any thread.
   static intptr_t hostCallback(AEffect* effect, int32_t opcode, int32_t index, intptr_t value,
                                void* ptr, float opt);

private:
   template <class Sample>
   void processWith(Sample** inputs, Sample** outputs, int32_t frames);
   intptr_t answer(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt);
   intptr_t timeInfo(int32_t filter);
   void trace(const std::string& line) const;

   std::shared_ptr<PluginModule> module_;
   HostSettings settings_;
   AEffect* effect_ = nullptr;
   bool running_ = false;
   std::string directory_; ///< answered to audioMasterGetDirectory
   std::atomic<float> sampleRate_;
   std::atomic<int32_t> blockSize_;
   std::atomic<double> tempo_{kDefaultTempo};
   /// Where the current tempo took over: the frame, and the quarter notes played before it.
   std::atomic<int64_t> tempoFrame_{0};
   std::atomic<double> tempoPpq_{0.0};
   std::atomic<int64_t> samplePos_{0};
   std::atomic<bool> playing_{false};
   std::atomic<bool> transportChanged_{false};
   std::atomic<int32_t> ioChanges_{0};
   /// Fixed-size logs filled through an atomic cursor: no allocation, any thread.
   std::unique_ptr<HostRequest[]> requests_;
   std::atomic<size_t> requestCount_{0};
   std::unique_ptr<std::pair<int32_t, float>[]> automation_;
   std::atomic<size_t> automationCount_{0};
};

/// A thread of its own for processing calls, as hosts have one: flush-to-zero and
/// denormals-are-zero set on it (unless asked otherwise), and instances that ask from it are
/// told they run at the real-time process level. run() hands it one job and waits for it.
class AudioThread {
public:
   explicit AudioThread(bool flushDenormals = true);
   ~AudioThread();
   AudioThread(const AudioThread&) = delete;
   AudioThread& operator=(const AudioThread&) = delete;

   /// Runs `job` on the audio thread and returns when it has finished; an exception it throws is
   /// thrown here again.
   void run(const std::function<void()>& job);

   /// Switches flush-to-zero and denormals-are-zero on or off for the calling thread; false where
   /// the processor has no such modes.
   static bool setFlushDenormals(bool on);

private:
   void loop(bool flushDenormals);

   std::mutex mutex_;
   std::condition_variable wake_;
   const std::function<void()>* job_ = nullptr;
   bool done_ = false;
   bool quit_ = false;
   std::exception_ptr error_;
   std::thread thread_;
};

} // namespace trimwise::host::raw
