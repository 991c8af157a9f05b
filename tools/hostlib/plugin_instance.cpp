// SPDX-License-Identifier: MIT
#include "tools/hostlib/plugin_instance.h"

#include "tools/hostlib/opcode_names.h"
#include "tools/hostlib/plugin_text.h"
#include "tools/hostlib/tool_error.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <type_traits>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace trimwise::host::raw {
using plughost::effectOpcodeName;
using plughost::ExitCode;
using plughost::hostOpcodeName;
using plughost::pluginText;
using plughost::ToolError;

namespace {

// The instance whose entry point is running on this thread. Requests sent before the record
// carries its owner in `user` (the version request, or any request from the effect's
// constructor) are answered for it.
thread_local PluginInstance* tEntering = nullptr;

// Set on a thread while it runs inside a processing call, and for the life of an AudioThread:
// requests from there are answered with a processing level.
thread_local bool tInProcess = false;
thread_local bool tOnAudioThread = false;

// Answers to audioMasterGetCurrentProcessLevel and audioMasterGetAutomationState.
constexpr intptr_t kProcessLevelUser = 1;
constexpr intptr_t kProcessLevelRealtime = 2;
constexpr intptr_t kProcessLevelOffline = 4;
constexpr intptr_t kAutomationOff = 1;
constexpr intptr_t kLanguageEnglish = 1;
// Host texts are written into the effect's buffer under the interface's 64-character limit.
constexpr size_t kHostStringLimit = 64;

void copyBounded(void* buffer, const char* text, size_t limit) {
   auto* out = static_cast<char*>(buffer);
   const size_t n = std::min(std::strlen(text), limit);
   std::memcpy(out, text, n);
   out[n] = '\0';
}

std::string hex(uintptr_t v) {
   char text[24];
   std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
   return text;
}

std::string describeCall(int32_t index, intptr_t value, const void* ptr, float opt) {
   char text[128];
   std::snprintf(text, sizeof text, " index=%d value=%lld ptr=%s opt=%g", index,
                 static_cast<long long>(value), ptr ? "set" : "null", static_cast<double>(opt));
   return text;
}

// What this host really does, answered yes to canHostDo. Everything else answers 0: effects
// read any nonzero answer, even the interface's -1 for "no", as yes.
constexpr const char* kHostCapabilities[] = {
    HostCanDo::sendVstEvents,   HostCanDo::sendVstMidiEvent, HostCanDo::sendVstTimeInfo,
    HostCanDo::acceptIOChanges, HostCanDo::startStopProcess,
};

// The slots calls in flight are written to, one per calling thread; see recordCallsInFlight.
std::atomic<CallInFlight*> gCallSlots{nullptr};
std::atomic<size_t> gCallSlotCount{0};
std::atomic<size_t> gNextCallSlot{0};
thread_local size_t tCallSlot = SIZE_MAX;

CallInFlight* callSlot() {
   CallInFlight* slots = gCallSlots.load(std::memory_order_relaxed);
   if (!slots) return nullptr;
   if (tCallSlot == SIZE_MAX) tCallSlot = gNextCallSlot.fetch_add(1, std::memory_order_relaxed);
   return tCallSlot < gCallSlotCount.load(std::memory_order_relaxed) ? &slots[tCallSlot] : nullptr;
}

// Describes one call in its slot for as long as it runs; restores what was there before, so a
// call the plug-in makes back into the host from inside another leaves the outer one visible.
// A call that ends in an exception stays in its slot, naming the call the exception came from.
class InFlight {
public:
   InFlight(CallInFlight::Kind kind, int32_t opcode, int32_t index, intptr_t value, float opt,
            int32_t frames)
       : slot_(callSlot()), exceptions_(std::uncaught_exceptions()) {
      if (!slot_) return;
      saved_ = *slot_;
      *slot_ = CallInFlight{kind, opcode, index, frames, value, opt};
   }
   ~InFlight() {
      if (slot_ && std::uncaught_exceptions() == exceptions_) *slot_ = saved_;
   }
   InFlight(const InFlight&) = delete;
   InFlight& operator=(const InFlight&) = delete;

private:
   CallInFlight* slot_;
   int exceptions_;
   CallInFlight saved_{};
};

std::string directoryOf(const std::string& path) {
   const size_t slash = path.rfind('/');
   return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

} // namespace

void recordCallsInFlight(CallInFlight* slots, size_t count) {
   gCallSlotCount.store(slots ? count : 0, std::memory_order_relaxed);
   gNextCallSlot.store(0, std::memory_order_relaxed);
   gCallSlots.store(slots, std::memory_order_relaxed);
}

std::string describeCallInFlight(const CallInFlight& call) {
   char text[160];
   switch (call.kind) {
   case CallInFlight::none:
      return {};
   case CallInFlight::entry:
      return "the entry point";
   case CallInFlight::dispatch:
      std::snprintf(text, sizeof text, "%s(index %d, value %lld, opt %g)",
                    effectOpcodeName(call.opcode).c_str(), call.index,
                    static_cast<long long>(call.value), static_cast<double>(call.opt));
      return text;
   case CallInFlight::setParameter:
      std::snprintf(text, sizeof text, "setParameter(%d, %g)", call.index,
                    static_cast<double>(call.opt));
      return text;
   case CallInFlight::getParameter:
      std::snprintf(text, sizeof text, "getParameter(%d)", call.index);
      return text;
   case CallInFlight::process:
   case CallInFlight::process64:
      std::snprintf(text, sizeof text, "%s(%d frames)",
                    call.kind == CallInFlight::process ? "processReplacing"
                                                       : "processDoubleReplacing",
                    call.frames);
      return text;
   }
   return "an unknown call";
}

PluginInstance::PluginInstance(std::shared_ptr<PluginModule> module, HostSettings settings)
    : module_(std::move(module)), settings_(std::move(settings)),
      directory_(directoryOf(module_->path())), sampleRate_(settings_.sampleRate),
      blockSize_(settings_.blockSize), requests_(new HostRequest[kLogCapacity]),
      automation_(new std::pair<int32_t, float>[kLogCapacity]) {
   tEntering = this;
   trace("call " + std::string(module_->entryName()));
   AEffect* effect = nullptr;
   {
      InFlight call(CallInFlight::entry, 0, 0, 0, 0.0f, 0);
      effect = module_->entry()(&PluginInstance::hostCallback);
   }
   tEntering = nullptr;
   if (!effect) {
      throw ToolError(ExitCode::plugin, "'" + module_->path() + "' returned no plug-in instance",
                      "the plug-in may refuse this host or have failed to allocate memory");
   }
   if (effect->magic != kEffectMagic) {
      // Not a record of this interface: nothing about it can be trusted, not even its close.
      throw ToolError(ExitCode::plugin,
                      "'" + module_->path() + "' returned a record with magic " +
                          hex(static_cast<uint32_t>(effect->magic)) + " instead of 'VstP'",
                      "the library is not a plug-in of this interface");
   }
   if (!effect->dispatcher || !effect->processReplacing || !effect->setParameter ||
       !effect->getParameter) {
      throw ToolError(ExitCode::plugin,
                      "'" + module_->path() + "' returned a record without its functions",
                      "the dispatcher, parameter and replacing process functions must be set");
   }
   effect_ = effect;
   effect_->user = this;
   dispatch(effOpen);
   dispatch(effSetSampleRate, 0, 0, nullptr, settings_.sampleRate);
   dispatch(effSetBlockSize, 0, settings_.blockSize);
}

PluginInstance::~PluginInstance() {
   if (effect_) {
      if (running_) stop();
      close();
   }
}

intptr_t PluginInstance::dispatch(int32_t opcode, int32_t index, intptr_t value, void* ptr,
                                  float opt) {
   // The host answers with what it told the instance last, as a host does after a change.
   if (opcode == effSetSampleRate) {
      settings_.sampleRate = opt;
      sampleRate_.store(opt, std::memory_order_relaxed);
   } else if (opcode == effSetBlockSize) {
      settings_.blockSize = static_cast<int32_t>(value);
      blockSize_.store(static_cast<int32_t>(value), std::memory_order_relaxed);
   }
   intptr_t result = 0;
   {
      InFlight call(CallInFlight::dispatch, opcode, index, value, opt, 0);
      result = effect_->dispatcher(effect_, opcode, index, value, ptr, opt);
   }
   if (settings_.trace) {
      trace("-> " + effectOpcodeName(opcode) + describeCall(index, value, ptr, opt) + " = " +
            std::to_string(result));
   }
   return result;
}

TextAnswer PluginInstance::readText(int32_t opcode, int32_t index) {
   // Run the command over two buffers filled with different patterns. A byte the instance wrote
   // differs from the fill in at least one of them, even if it happens to equal the other fill.
   constexpr unsigned char kFills[] = {0xA5, 0x5A};
   std::array<std::array<char, kTextBufferSize>, 2> buffers;
   TextAnswer answer;
   for (size_t run = 0; run < 2; ++run) {
      buffers[run].fill(static_cast<char>(kFills[run]));
      answer.result = dispatch(opcode, index, 0, buffers[run].data());
      for (size_t i = kTextBufferSize; i > answer.extent; --i) {
         if (static_cast<unsigned char>(buffers[run][i - 1]) != kFills[run]) {
            answer.extent = i;
            break;
         }
      }
   }
   const auto& text = buffers[0];
   const auto* end = static_cast<const char*>(std::memchr(text.data(), '\0', text.size()));
   answer.terminated = end != nullptr;
   answer.text = pluginText(text.data(), answer.extent); // the fill beyond is not its text
   return answer;
}

void PluginInstance::start() {
   dispatch(effMainsChanged, 0, 1);
   dispatch(effStartProcess);
   running_ = true;
   playing_.store(true, std::memory_order_relaxed);
   transportChanged_.store(true, std::memory_order_relaxed);
}

void PluginInstance::stop() {
   dispatch(effStopProcess);
   dispatch(effMainsChanged, 0, 0);
   running_ = false;
   playing_.store(false, std::memory_order_relaxed);
   transportChanged_.store(true, std::memory_order_relaxed);
}

intptr_t PluginInstance::close() {
   AEffect* effect = effect_;
   effect_ = nullptr;
   running_ = false;
   intptr_t result = 0;
   {
      InFlight call(CallInFlight::dispatch, effClose, 0, 0, 0.0f, 0);
      result = effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
   }
   trace("-> effClose = " + std::to_string(result));
   return result;
}

void PluginInstance::setProgramName(const std::string& name) {
   std::vector<char> text(name.begin(), name.end());
   text.push_back('\0');
   dispatch(effSetProgramName, 0, 0, text.data());
}

int32_t PluginInstance::canDo(const char* capability) {
   // The text is only read, but the interface passes it through an untyped pointer.
   return static_cast<int32_t>(dispatch(effCanDo, 0, 0, const_cast<char*>(capability)));
}

float PluginInstance::getParameter(int32_t index) {
   float value = 0.0f;
   {
      InFlight call(CallInFlight::getParameter, 0, index, 0, 0.0f, 0);
      value = effect_->getParameter(effect_, index);
   }
   if (settings_.trace) {
      trace("-> getParameter index=" + std::to_string(index) + " = " + std::to_string(value));
   }
   return value;
}

void PluginInstance::setParameter(int32_t index, float value) {
   if (settings_.trace) {
      trace("-> setParameter index=" + std::to_string(index) + " value=" + std::to_string(value));
   }
   InFlight call(CallInFlight::setParameter, 0, index, 0, value, 0);
   effect_->setParameter(effect_, index, value);
}

template <class Sample>
void PluginInstance::processWith(Sample** inputs, Sample** outputs, int32_t frames) {
   constexpr bool wide = std::is_same_v<Sample, double>;
   {
      InFlight call(wide ? CallInFlight::process64 : CallInFlight::process, 0, 0, 0, 0.0f, frames);
      const bool outer = tInProcess;
      tInProcess = true;
      if constexpr (wide) {
         effect_->processDoubleReplacing(effect_, inputs, outputs, frames);
      } else {
         effect_->processReplacing(effect_, inputs, outputs, frames);
      }
      tInProcess = outer;
   }
   if (frames > 0) samplePos_.fetch_add(frames, std::memory_order_relaxed);
}

void PluginInstance::process(float** inputs, float** outputs, int32_t frames) {
   processWith(inputs, outputs, frames);
}

void PluginInstance::process(double** inputs, double** outputs, int32_t frames) {
   processWith(inputs, outputs, frames);
}

std::span<const HostRequest> PluginInstance::requests() const {
   return {requests_.get(), std::min(requestCount_.load(), kLogCapacity)};
}

std::span<const std::pair<int32_t, float>> PluginInstance::automation() const {
   return {automation_.get(), std::min(automationCount_.load(), kLogCapacity)};
}

intptr_t PluginInstance::hostCallback(AEffect* effect, int32_t opcode, int32_t index,
                                      intptr_t value, void* ptr, float opt) {
   PluginInstance* self = tEntering;
   if (effect && effect->user) self = static_cast<PluginInstance*>(effect->user);
   if (!self) {
      // A request from a record this host does not know: answer only the version.
      return opcode == audioMasterVersion ? kVstVersion : 0;
   }
   const intptr_t result = self->answer(opcode, index, value, ptr, opt);
   if (self->settings_.trace) {
      self->trace("<- " + hostOpcodeName(opcode) + describeCall(index, value, ptr, opt) + " = " +
                  std::to_string(result));
   }
   return result;
}

intptr_t PluginInstance::answer(int32_t opcode, int32_t index, intptr_t value, void* ptr,
                                float opt) {
   if (settings_.logRequests) {
      const size_t slot = requestCount_.fetch_add(1, std::memory_order_relaxed);
      if (slot < kLogCapacity) requests_[slot] = {opcode, index, value, opt};
   }
   switch (opcode) {
   case audioMasterAutomate: {
      const size_t slot = automationCount_.fetch_add(1, std::memory_order_relaxed);
      if (slot < kLogCapacity) automation_[slot] = {index, opt};
      return 0;
   }
   case audioMasterVersion:
      return kVstVersion;
   case audioMasterCurrentId:
      return 0; // no shell plug-in is being loaded
   case audioMasterIdle:
      return 0;
   case audioMasterWantMidi:
   case audioMasterNeedIdle:
   case audioMasterBeginEdit:
   case audioMasterEndEdit:
   case audioMasterUpdateDisplay:
      return 1; // accepted
   case audioMasterGetTime:
      return timeInfo(static_cast<int32_t>(value));
   case audioMasterIOChanged:
      // Accepted: the host reads the record's counts and delay again before its next buffers.
      ioChanges_.fetch_add(1, std::memory_order_relaxed);
      return 1;
   case audioMasterGetSampleRate:
      return static_cast<intptr_t>(sampleRate_.load(std::memory_order_relaxed));
   case audioMasterGetBlockSize:
      return blockSize_.load(std::memory_order_relaxed);
   case audioMasterGetInputLatency:
   case audioMasterGetOutputLatency:
      return 0;
   case audioMasterGetCurrentProcessLevel:
      if (tInProcess || tOnAudioThread) {
         return settings_.realtime ? kProcessLevelRealtime : kProcessLevelOffline;
      }
      return kProcessLevelUser;
   case audioMasterGetAutomationState:
      return kAutomationOff;
   case audioMasterWillReplaceOrAccumulate:
      return 1; // this host only ever calls the replacing functions
   case audioMasterGetLanguage:
      return kLanguageEnglish;
   case audioMasterGetVendorString:
      if (!ptr) return 0;
      copyBounded(ptr, kHostVendor, kHostStringLimit);
      return 1;
   case audioMasterGetProductString:
      if (!ptr) return 0;
      copyBounded(ptr, kHostProduct, kHostStringLimit);
      return 1;
   case audioMasterGetVendorVersion:
      return kHostVersion;
   case audioMasterGetDirectory:
      return reinterpret_cast<intptr_t>(directory_.c_str());
   case audioMasterCanDo:
      if (!ptr) return 0;
      for (const char* capability : kHostCapabilities) {
         if (std::strcmp(static_cast<const char*>(ptr), capability) == 0) return 1;
      }
      return 0;
   default:
      // No windows, offline tasks, pin graph or events sent back: 0 means "not supported".
      return 0;
   }
}

// Quarter notes played up to `frame`, at the current tempo since it took over.
static double quartersAt(double frame, double anchorFrame, double anchorPpq, double rate,
                         double tempo) {
   return anchorPpq + (frame - anchorFrame) * tempo / (60.0 * rate);
}

void PluginInstance::setTempo(double bpm) {
   const double rate = sampleRate_.load(std::memory_order_relaxed);
   const double tempo = tempo_.load(std::memory_order_relaxed);
   const int64_t frame = samplePos_.load(std::memory_order_relaxed);
   if (rate > 0 && tempo > 0) {
      tempoPpq_.store(quartersAt(static_cast<double>(frame),
                                 static_cast<double>(tempoFrame_.load(std::memory_order_relaxed)),
                                 tempoPpq_.load(std::memory_order_relaxed), rate, tempo),
                      std::memory_order_relaxed);
   }
   tempoFrame_.store(frame, std::memory_order_relaxed);
   tempo_.store(bpm, std::memory_order_relaxed);
}

intptr_t PluginInstance::timeInfo(int32_t /*filter*/) {
   // Every field this host knows is filled and flagged, whatever the filter asked: a host may
   // give more than was asked, and the flags say what is valid. One record per thread, so an
   // audio thread and an editor thread asking at once do not write over each other's answer.
   thread_local VstTimeInfo info;
   const double rate = sampleRate_.load(std::memory_order_relaxed);
   const double tempo = tempo_.load(std::memory_order_relaxed);
   const double position = static_cast<double>(samplePos_.load(std::memory_order_relaxed));
   info = VstTimeInfo{};
   info.samplePos = position;
   info.sampleRate = rate;
   info.nanoSeconds = static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                              std::chrono::steady_clock::now().time_since_epoch())
                                              .count());
   int32_t flags = kVstNanosValid | kVstTempoValid | kVstTimeSigValid;
   info.tempo = tempo;
   info.timeSigNumerator = 4;
   info.timeSigDenominator = 4;
   if (rate > 0 && tempo > 0) {
      // Quarter notes since the start; bars of 4/4; MIDI clocks at 24 per quarter note.
      const double samplesPerQuarter = rate * 60.0 / tempo;
      info.ppqPos =
          quartersAt(position, static_cast<double>(tempoFrame_.load(std::memory_order_relaxed)),
                     tempoPpq_.load(std::memory_order_relaxed), rate, tempo);
      info.barStartPos = std::floor(info.ppqPos / 4.0) * 4.0;
      const double nextClock = std::ceil(info.ppqPos * 24.0) / 24.0;
      info.samplesToNextClock =
          static_cast<int32_t>(std::lround((nextClock - info.ppqPos) * samplesPerQuarter));
      flags |= kVstPpqPosValid | kVstBarsValid | kVstClockValid;
   }
   if (playing_.load(std::memory_order_relaxed)) flags |= kVstTransportPlaying;
   if (transportChanged_.exchange(false, std::memory_order_relaxed)) flags |= kVstTransportChanged;
   info.flags = flags;
   return reinterpret_cast<intptr_t>(&info);
}

void PluginInstance::trace(const std::string& line) const {
   if (settings_.trace) settings_.trace(line);
}

// ---- Audio thread -----------------------------------------------------------------------------

AudioThread::AudioThread(bool flushDenormals)
    : thread_([this, flushDenormals] { loop(flushDenormals); }) {}

AudioThread::~AudioThread() {
   {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
   }
   wake_.notify_all();
   thread_.join();
}

void AudioThread::run(const std::function<void()>& job) {
   std::unique_lock<std::mutex> lock(mutex_);
   job_ = &job;
   done_ = false;
   error_ = nullptr;
   wake_.notify_all();
   wake_.wait(lock, [this] { return done_; });
   if (error_) std::rethrow_exception(error_);
}

void AudioThread::loop(bool flushDenormals) {
   tOnAudioThread = true;
   setFlushDenormals(flushDenormals);
   std::unique_lock<std::mutex> lock(mutex_);
   for (;;) {
      wake_.wait(lock, [this] { return quit_ || job_ != nullptr; });
      if (quit_) return;
      const std::function<void()>* job = job_;
      lock.unlock();
      std::exception_ptr error;
      try {
         (*job)();
      } catch (...) {
         error = std::current_exception();
      }
      lock.lock();
      job_ = nullptr;
      error_ = error;
      done_ = true;
      wake_.notify_all();
   }
}

bool AudioThread::setFlushDenormals(bool on) {
#if defined(__x86_64__) || defined(__i386__)
   constexpr unsigned kFlushToZero = 0x8000u, kDenormalsAreZero = 0x0040u;
   const unsigned csr = _mm_getcsr();
   _mm_setcsr(on ? (csr | kFlushToZero | kDenormalsAreZero)
                 : (csr & ~(kFlushToZero | kDenormalsAreZero)));
   return true;
#elif defined(__aarch64__)
   constexpr uint64_t kFlushToZero = uint64_t(1) << 24;
   uint64_t fpcr = 0;
   __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
   fpcr = on ? (fpcr | kFlushToZero) : (fpcr & ~kFlushToZero);
   __asm__ volatile("msr fpcr, %0" : : "r"(fpcr));
   return true;
#else
   (void)on;
   return false;
#endif
}

} // namespace trimwise::host::raw
