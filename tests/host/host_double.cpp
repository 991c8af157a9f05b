// SPDX-License-Identifier: MIT
#include "tests/host/host_double.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace hostdouble {

#if defined(_WIN32)
namespace {
// The build writes Unix paths; under wine, drive Z: is the Unix root.
std::string nativePath(const char* path) {
   std::string native = path[0] == '/' ? std::string("Z:") + path : std::string(path);
   for (char& c : native)
      if (c == '/') c = '\\';
   return native;
}

std::string lastError() {
   char text[256] = "";
   const DWORD code = GetLastError();
   FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                  text, sizeof text, nullptr);
   return "error " + std::to_string(code) + ": " + text;
}
} // namespace

PluginLibrary::PluginLibrary(const char* path) : handle_(LoadLibraryA(nativePath(path).c_str())) {
   if (handle_ == nullptr) error_ = lastError();
}

PluginLibrary::~PluginLibrary() {
   if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
}

void* PluginLibrary::symbol(const char* name) const {
   if (handle_ == nullptr) return nullptr;
   return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}
#else
PluginLibrary::PluginLibrary(const char* path) : handle_(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {
   if (handle_ == nullptr) {
      const char* why = dlerror();
      error_ = why != nullptr ? why : "dlopen failed";
   }
}

PluginLibrary::~PluginLibrary() {
   if (handle_ != nullptr) dlclose(handle_);
}

void* PluginLibrary::symbol(const char* name) const {
   return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}
#endif

EntryProc PluginLibrary::entry() const {
   return reinterpret_cast<EntryProc>(symbol("VSTPluginMain"));
}

const PluginLibrary& plugin() {
   static const PluginLibrary library(TRIMWISE_PLUGIN_PATH);
   return library;
}

// --- Recording host

namespace {
struct HostRecord {
   std::mutex mutex;
   std::vector<HostCall> calls;
   intptr_t versionAnswer = kVstVersion;
};

HostRecord& hostRecord() {
   static HostRecord record;
   return record;
}
} // namespace

intptr_t RecordingHost::callback(AEffect* effect, int32_t opcode, int32_t index, intptr_t value,
                                 void* ptr, float opt) {
   HostRecord& r = hostRecord();
   std::lock_guard lock(r.mutex);
   r.calls.push_back(HostCall{effect, opcode, index, value, ptr, opt});
   return opcode == audioMasterVersion ? r.versionAnswer : 0;
}

void RecordingHost::reset(intptr_t versionAnswer) {
   HostRecord& r = hostRecord();
   std::lock_guard lock(r.mutex);
   r.calls.clear();
   r.versionAnswer = versionAnswer;
}

std::vector<HostCall> RecordingHost::calls() {
   HostRecord& r = hostRecord();
   std::lock_guard lock(r.mutex);
   return r.calls;
}

// --- Instance

Instance::Instance() : effect_(nullptr) {
   if (EntryProc entry = plugin().entry()) effect_ = entry(RecordingHost::callback);
}

Instance::~Instance() {
   if (effect_ != nullptr) close();
}

intptr_t Instance::dispatch(int32_t opcode, int32_t index, intptr_t value, void* ptr,
                            float opt) const {
   return effect_->dispatcher(effect_, opcode, index, value, ptr, opt);
}

intptr_t Instance::close() {
   const intptr_t answer = dispatch(effClose);
   effect_ = nullptr;
   return answer;
}

void Instance::start(float sampleRate, intptr_t blockSize) const {
   dispatch(effOpen);
   dispatch(effSetSampleRate, 0, 0, nullptr, sampleRate);
   dispatch(effSetBlockSize, 0, blockSize);
   dispatch(effMainsChanged, 0, 1);
}

void Instance::setParameter(int32_t index, float value) const {
   effect_->setParameter(effect_, index, value);
}

float Instance::getParameter(int32_t index) const {
   return effect_->getParameter(effect_, index);
}

void Instance::process(float** inputs, float** outputs, int32_t frames) const {
   effect_->processReplacing(effect_, inputs, outputs, frames);
}

void Instance::process(double** inputs, double** outputs, int32_t frames) const {
   effect_->processDoubleReplacing(effect_, inputs, outputs, frames);
}

// --- Guarded text buffers

GuardedText::GuardedText(size_t limit)
    : limit_(limit), bytes_(limit + 1 + kGuardBytes, static_cast<char>(kFill)) {}

testing::AssertionResult GuardedText::holdsBounded(std::string_view text) const {
   return holds(text, limit_ + 1);
}

testing::AssertionResult GuardedText::holdsWhole(std::string_view text) const {
   return holds(text, text.size() + 1);
}

testing::AssertionResult GuardedText::untouched() const {
   return holds({}, 0);
}

testing::AssertionResult GuardedText::holds(std::string_view text, size_t written) const {
   for (size_t i = 0; i < bytes_.size(); ++i) {
      const unsigned char want = i < text.size() ? static_cast<unsigned char>(text[i])
                                 : i < written   ? 0
                                                 : kFill;
      const auto got = static_cast<unsigned char>(bytes_[i]);
      if (got != want) {
         char where[96];
         std::snprintf(where, sizeof where, "byte %zu is 0x%02X, expected 0x%02X (limit %zu)", i,
                       got, want, limit_);
         return testing::AssertionFailure()
                << where << "; text \""
                << std::string(bytes_.data(), strnlen(bytes_.data(), bytes_.size())) << "\"";
      }
   }
   return testing::AssertionSuccess();
}

// --- Expected display texts

namespace {
// Eight characters: sign, integer digits, point, then as many fraction digits as fit, every digit
// truncated from the exact binary value. printf prints that value's exact decimal expansion.
std::string fixedWidthText(float value) {
   constexpr size_t kBudget = 8;
   if (std::isnan(value)) return "0.000000";
   double v = value;
   const bool negative = v < 0.0;
   if (negative) v = -v;
   if (v > (negative ? 9999999.0 : 99999999.0)) return "Huge!";
   char exact[256];
   std::snprintf(exact, sizeof exact, "%.160f", v);
   const std::string_view digits(exact);
   const size_t point = digits.find('.');
   std::string text = negative ? "-" : "";
   text += digits.substr(0, point + 1);
   if (text.size() > kBudget) return {};
   text += digits.substr(point + 1, kBudget - text.size());
   return text;
}
} // namespace

std::string expectedGainText(float gain) {
   if (gain <= 0.0f) return "-oo";
   return fixedWidthText(static_cast<float>(20.0 * double(std::log10(gain))));
}

} // namespace hostdouble
