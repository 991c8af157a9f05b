#include "tools/hostlib/plugin_instance.h"

#include "tools/hostlib/opcode_names.h"
#include "tools/hostlib/plugin_text.h"
#include "tools/hostlib/tool_error.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace plughost {
namespace {

// The instance whose entry point is running on this thread. Requests sent before the record
// carries its owner in `user` (the version request, or any request from the effect's
// constructor) are answered for it.
thread_local PluginInstance* tEntering = nullptr;

// Answers to audioMasterGetCurrentProcessLevel and audioMasterGetAutomationState.
constexpr intptr_t kProcessLevelUser = 1;
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

} // namespace

PluginInstance::PluginInstance(std::shared_ptr<PluginModule> module, HostSettings settings)
    : module_(std::move(module)), settings_(std::move(settings)) {
   tEntering = this;
   trace("call " + std::string(module_->entryName()));
   AEffect* effect = module_->entry()(&PluginInstance::hostCallback);
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
   const intptr_t result = effect_->dispatcher(effect_, opcode, index, value, ptr, opt);
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
}

void PluginInstance::stop() {
   dispatch(effStopProcess);
   dispatch(effMainsChanged, 0, 0);
   running_ = false;
}

intptr_t PluginInstance::close() {
   AEffect* effect = effect_;
   effect_ = nullptr;
   running_ = false;
   const intptr_t result = effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
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
   const float value = effect_->getParameter(effect_, index);
   if (settings_.trace) {
      trace("-> getParameter index=" + std::to_string(index) + " = " + std::to_string(value));
   }
   return value;
}

void PluginInstance::setParameter(int32_t index, float value) {
   if (settings_.trace) {
      trace("-> setParameter index=" + std::to_string(index) + " value=" + std::to_string(value));
   }
   effect_->setParameter(effect_, index, value);
}

void PluginInstance::process(float** inputs, float** outputs, int32_t frames) {
   processing_ = true;
   effect_->processReplacing(effect_, inputs, outputs, frames);
   processing_ = false;
}

void PluginInstance::process(double** inputs, double** outputs, int32_t frames) {
   processing_ = true;
   effect_->processDoubleReplacing(effect_, inputs, outputs, frames);
   processing_ = false;
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
   requests_.push_back({opcode, index, value, opt});
   switch (opcode) {
   case audioMasterAutomate:
      automation_.emplace_back(index, opt);
      return 0;
   case audioMasterVersion:
      return kVstVersion;
   case audioMasterGetSampleRate:
      return static_cast<intptr_t>(settings_.sampleRate);
   case audioMasterGetBlockSize:
      return settings_.blockSize;
   case audioMasterGetCurrentProcessLevel:
      return processing_ ? kProcessLevelOffline : kProcessLevelUser;
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
   case audioMasterCanDo:
      // Only what this host really does. Everything else answers 0: effects read any nonzero
      // answer, even the interface's -1 for "no", as yes.
      return ptr && std::strcmp(static_cast<const char*>(ptr), "startStopProcess") == 0 ? 1 : 0;
   default:
      // No transport, events, windows, offline tasks or pin graph: 0 means "not supported".
      return 0;
   }
}

void PluginInstance::trace(const std::string& line) const {
   if (settings_.trace) settings_.trace(line);
}

} // namespace plughost
