// One plug-in instance as the host sees it: the record from the entry point, the host callback
// that answers the instance's requests, and typed wrappers around the record's functions.
#pragma once

#include "framework/plugin_interface.h"
#include "tools/hostlib/plugin_module.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace plughost {

// Receives one line per dispatcher command and host request when tracing is on.
using TraceSink = std::function<void(const std::string& line)>;

// What the host tells the instance when it starts it, and answers when the instance asks.
struct HostSettings {
   float sampleRate = 44100.0f;
   int32_t blockSize = 512;
   TraceSink trace; // empty: no trace
};

// The host's own identity, answered to audioMasterGetVendorString and friends.
inline constexpr const char* kHostVendor = "Trimwise";
inline constexpr const char* kHostProduct = "plughost";
inline constexpr int32_t kHostVersion = 1000;

// One request the instance sent through the host callback.
struct HostRequest {
   int32_t opcode;
   int32_t index;
   intptr_t value;
   float opt;
};

// A text the instance wrote into a host buffer, and how far into the buffer it wrote.
struct TextAnswer {
   std::string text;        // up to the first NUL, or the whole buffer if there is none
   intptr_t result = 0;     // the dispatcher's answer
   size_t extent = 0;       // bytes written: index of the last byte changed, plus one
   bool terminated = false; // a NUL lies within the buffer
};

class PluginInstance {
public:
   // Room given for every text the instance writes; far above the longest limit (64), so an
   // instance that overruns its limit is caught by the extent instead of corrupting memory.
   static constexpr size_t kTextBufferSize = 256;

   // Calls the module's entry point, then opens the instance and tells it the sample rate and
   // block size. Throws ToolError(ExitCode::plugin) if the entry returns no usable record.
   explicit PluginInstance(std::shared_ptr<PluginModule> module, HostSettings settings = {});

   // Stops the instance if it is running and closes it unless close() already did.
   ~PluginInstance();

   // The host callback's answers find their instance through the record's address.
   PluginInstance(const PluginInstance&) = delete;
   PluginInstance& operator=(const PluginInstance&) = delete;

   const AEffect& record() const { return *effect_; }
   const PluginModule& module() const { return *module_; }
   const HostSettings& settings() const { return settings_; }

   // A raw dispatcher call, traced. Not for effClose: use close().
   intptr_t dispatch(int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr,
                     float opt = 0.0f);

   // Runs a text command (effGetEffectName, effGetParamDisplay, ...) over a guarded buffer.
   TextAnswer readText(int32_t opcode, int32_t index = 0);

   // Switches processing on (effMainsChanged 1, effStartProcess) and off again, as a host does
   // around a run of processing calls.
   void start();
   void stop();
   bool running() const { return running_; }

   // Sends effClose and forgets the record, which no longer exists afterwards. Returns the
   // dispatcher's answer to effClose.
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

   float getParameter(int32_t index);
   void setParameter(int32_t index, float value);

   bool canProcessDouble() const {
      return (effect_->flags & effFlagsCanDoubleReplacing) && effect_->processDoubleReplacing;
   }
   void process(float** inputs, float** outputs, int32_t frames);
   void process(double** inputs, double** outputs, int32_t frames);

   // Every request the instance has sent, the entry point's version request included.
   const std::vector<HostRequest>& requests() const { return requests_; }
   // Parameter changes the instance reported with audioMasterAutomate: index and value.
   const std::vector<std::pair<int32_t, float>>& automation() const { return automation_; }

   // The function handed to the entry point.
   static intptr_t hostCallback(AEffect* effect, int32_t opcode, int32_t index, intptr_t value,
                                void* ptr, float opt);

private:
   intptr_t answer(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt);
   void trace(const std::string& line) const;

   std::shared_ptr<PluginModule> module_;
   HostSettings settings_;
   AEffect* effect_ = nullptr;
   bool running_ = false;
   bool processing_ = false;
   std::vector<HostRequest> requests_;
   std::vector<std::pair<int32_t, float>> automation_;
};

} // namespace plughost
