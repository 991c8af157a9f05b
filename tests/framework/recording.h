// SPDX-License-Identifier: MIT
// Test doubles for the framework: effects, an editor and a host callback that write every call
// they receive into one shared log, so a test sees which operations ran, with which arguments
// and in which order, and chooses what each one answers.
#pragma once

#include "tests/target.h"
#include <trimwise/framework/audio_effect_x.h>

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

// One call as an operation received it: integer, boolean and address arguments in order, and
// the float argument where the operation has one.
struct Call {
   Call() = default;
   Call(std::string op, std::vector<intptr_t> args = {}, float f = 0.0f)
       : op(std::move(op)), args(std::move(args)), f(f) {}
   bool operator==(const Call&) const = default;

   std::string op;
   std::vector<intptr_t> args;
   float f = 0.0f;
};

inline void PrintTo(const Call& c, std::ostream* os) {
   *os << c.op << "(";
   for (size_t i = 0; i < c.args.size(); ++i)
      *os << (i ? ", " : "") << "0x" << std::hex << c.args[i] << std::dec;
   *os << "; " << c.f << ")";
}

// Outlives the effect and editor that write into it, so their destruction is recorded too.
struct CallLog {
   std::vector<Call> calls;
   std::map<std::string, intptr_t> answers; // what each operation answers; 0 when not set

   intptr_t note(const std::string& op, std::vector<intptr_t> args = {}, float f = 0.0f) {
      calls.push_back({op, std::move(args), f});
      const auto it = answers.find(op);
      return it == answers.end() ? 0 : it->second;
   }
};

inline intptr_t addr(const void* p) {
   return reinterpret_cast<intptr_t>(p);
}

// The host callback double: each request becomes the call "host" with the record address,
// opcode, index, value and ptr as arguments and opt as its float; it answers answers["host"].
inline CallLog* gHostLog = nullptr;

inline intptr_t recordingHost(AEffect* effect, int32_t opcode, int32_t index, intptr_t value,
                              void* ptr, float opt) {
   return gHostLog->note("host", {addr(effect), opcode, index, value, addr(ptr)}, opt);
}

inline Call hostRequest(AEffect* effect, int32_t opcode, int32_t index = 0, intptr_t value = 0,
                        const void* ptr = nullptr, float opt = 0.0f) {
   return {"host", {addr(effect), opcode, index, value, addr(ptr)}, opt};
}

// Effects that override nothing but the one operation every effect must supply.
class PlainEffect : public AudioEffect {
public:
   explicit PlainEffect(audioMasterCallback host = nullptr, int32_t programs = 1,
                        int32_t params = 2)
       : AudioEffect(host, programs, params) {}
   void processReplacing(float**, float**, int32_t) override {}
};

class PlainEffectX : public AudioEffectX {
public:
   explicit PlainEffectX(audioMasterCallback host = nullptr, int32_t programs = 1,
                         int32_t params = 2)
       : AudioEffectX(host, programs, params) {}
   void processReplacing(float**, float**, int32_t) override {}
};

class RecordingEditor : public AEffEditor {
public:
   explicit RecordingEditor(CallLog& log, intptr_t tag = 0) : log(log), tag(tag) {}
   ~RecordingEditor() override { log.note("editor.destructor", {tag}); }

   bool getRect(ERect** rect) override { return log.note("editor.getRect", {addr(rect)}); }
   bool open(void* parent) override { return log.note("editor.open", {addr(parent)}); }
   void close() override { log.note("editor.close"); }
   void idle() override { log.note("editor.idle"); }
   bool onKeyDown(VstKeyCode& k) override {
      return log.note("editor.onKeyDown", {k.character, k.virt, k.modifier});
   }
   bool onKeyUp(VstKeyCode& k) override {
      return log.note("editor.onKeyUp", {k.character, k.virt, k.modifier});
   }
   bool setKnobMode(int32_t mode) override { return log.note("editor.setKnobMode", {mode}); }

private:
   CallLog& log;
   intptr_t tag;
};

// Records every operation the base dispatcher can reach; each answers log.answers[name].
template <class Base>
class Recording : public Base {
public:
   explicit Recording(CallLog& log, audioMasterCallback host = nullptr, int32_t programs = 1,
                      int32_t params = 2)
       : Base(host, programs, params), log(log) {}
   ~Recording() override { log.note("destructor"); }

   void open() override { log.note(__func__); }
   void close() override { log.note(__func__); }
   void suspend() override { log.note(__func__); }
   void resume() override { log.note(__func__); }
   void setSampleRate(float rate) override { log.note(__func__, {}, rate); }
   void setBlockSize(int32_t size) override { log.note(__func__, {size}); }
   void process(float** in, float** out, int32_t frames) override {
      log.note(__func__, {addr(in), addr(out), frames});
   }
   void processReplacing(float** in, float** out, int32_t frames) override {
      log.note(__func__, {addr(in), addr(out), frames});
   }
   void processDoubleReplacing(double** in, double** out, int32_t frames) override {
      log.note(__func__, {addr(in), addr(out), frames});
   }
   void setParameter(int32_t index, float value) override { log.note(__func__, {index}, value); }
   float getParameter(int32_t index) override { return float(log.note(__func__, {index})); }
   int32_t getProgram() override { return int32_t(log.note(__func__)); }
   void setProgram(int32_t program) override { log.note(__func__, {program}); }
   void setProgramName(char* name) override { log.note(__func__, {addr(name)}); }
   void getProgramName(char* name) override { log.note(__func__, {addr(name)}); }
   void getParameterLabel(int32_t index, char* text) override {
      log.note(__func__, {index, addr(text)});
   }
   void getParameterDisplay(int32_t index, char* text) override {
      log.note(__func__, {index, addr(text)});
   }
   void getParameterName(int32_t index, char* text) override {
      log.note(__func__, {index, addr(text)});
   }
   int32_t getChunk(void** data, bool isPreset) override {
      return int32_t(log.note(__func__, {addr(data), isPreset}));
   }
   int32_t setChunk(void* data, int32_t size, bool isPreset) override {
      return int32_t(log.note(__func__, {addr(data), size, isPreset}));
   }
   float getVu() override { return float(log.note(__func__)); }

protected:
   CallLog& log;
};

using RecordingEffect = Recording<AudioEffect>;

// Also records every extended operation, the deprecated ones included, so that a command
// reaching one it must not is seen.
class RecordingEffectX : public Recording<AudioEffectX> {
public:
   using Recording::Recording;

   int32_t processEvents(VstEvents* e) override { return int32_t(log.note(__func__, {addr(e)})); }
   bool canParameterBeAutomated(int32_t index) override { return log.note(__func__, {index}); }
   bool string2parameter(int32_t index, char* text) override {
      return log.note(__func__, {index, addr(text)});
   }
   bool getProgramNameIndexed(int32_t category, int32_t index, char* text) override {
      return log.note(__func__, {category, index, addr(text)});
   }
   bool getInputProperties(int32_t index, VstPinProperties* p) override {
      return log.note(__func__, {index, addr(p)});
   }
   bool getOutputProperties(int32_t index, VstPinProperties* p) override {
      return log.note(__func__, {index, addr(p)});
   }
   VstPlugCategory getPlugCategory() override {
      return static_cast<VstPlugCategory>(log.note(__func__));
   }
   bool offlineNotify(VstAudioFile* files, int32_t count, bool start) override {
      return log.note(__func__, {addr(files), count, start});
   }
   bool offlinePrepare(VstOfflineTask* task, int32_t count) override {
      return log.note(__func__, {addr(task), count});
   }
   bool offlineRun(VstOfflineTask* task, int32_t count) override {
      return log.note(__func__, {addr(task), count});
   }
   bool processVariableIo(VstVariableIo* io) override { return log.note(__func__, {addr(io)}); }
   bool setSpeakerArrangement(VstSpeakerArrangement* in, VstSpeakerArrangement* out) override {
      return log.note(__func__, {addr(in), addr(out)});
   }
   bool setBypass(bool on) override { return log.note(__func__, {on}); }
   bool getEffectName(char* text) override { return log.note(__func__, {addr(text)}); }
   bool getVendorString(char* text) override { return log.note(__func__, {addr(text)}); }
   bool getProductString(char* text) override { return log.note(__func__, {addr(text)}); }
   int32_t getVendorVersion() override { return int32_t(log.note(__func__)); }
   intptr_t vendorSpecific(int32_t a, intptr_t b, void* p, float f) override {
      return log.note(__func__, {a, b, addr(p)}, f);
   }
   int32_t canDo(char* text) override { return int32_t(log.note(__func__, {addr(text)})); }
   int32_t getGetTailSize() override { return int32_t(log.note(__func__)); }
   bool getParameterProperties(int32_t index, VstParameterProperties* p) override {
      return log.note(__func__, {index, addr(p)});
   }
   int32_t getVstVersion() override { return int32_t(log.note(__func__)); }
   int32_t getMidiProgramName(int32_t channel, MidiProgramName* p) override {
      return int32_t(log.note(__func__, {channel, addr(p)}));
   }
   int32_t getCurrentMidiProgram(int32_t channel, MidiProgramName* p) override {
      return int32_t(log.note(__func__, {channel, addr(p)}));
   }
   int32_t getMidiProgramCategory(int32_t channel, MidiProgramCategory* p) override {
      return int32_t(log.note(__func__, {channel, addr(p)}));
   }
   bool hasMidiProgramsChanged(int32_t channel) override { return log.note(__func__, {channel}); }
   bool getMidiKeyName(int32_t channel, MidiKeyName* p) override {
      return log.note(__func__, {channel, addr(p)});
   }
   bool beginSetProgram() override { return log.note(__func__); }
   bool endSetProgram() override { return log.note(__func__); }
   bool getSpeakerArrangement(VstSpeakerArrangement** in, VstSpeakerArrangement** out) override {
      return log.note(__func__, {addr(in), addr(out)});
   }
   int32_t getNextShellPlugin(char* text) override {
      return int32_t(log.note(__func__, {addr(text)}));
   }
   int32_t startProcess() override { return int32_t(log.note(__func__)); }
   int32_t stopProcess() override { return int32_t(log.note(__func__)); }
   int32_t setTotalSampleToProcess(int32_t n) override { return int32_t(log.note(__func__, {n})); }
   bool setPanLaw(int32_t type, float value) override { return log.note(__func__, {type}, value); }
   int32_t beginLoadBank(VstPatchChunkInfo* p) override {
      return int32_t(log.note(__func__, {addr(p)}));
   }
   int32_t beginLoadProgram(VstPatchChunkInfo* p) override {
      return int32_t(log.note(__func__, {addr(p)}));
   }
   bool setProcessPrecision(int32_t precision) override { return log.note(__func__, {precision}); }
   int32_t getNumMidiInputChannels() override { return int32_t(log.note(__func__)); }
   int32_t getNumMidiOutputChannels() override { return int32_t(log.note(__func__)); }

   // Deprecated operations whose commands the host must not be able to reach.
   int32_t getNumCategories() override { return int32_t(log.note(__func__)); }
   bool copyProgram(int32_t destination) override { return log.note(__func__, {destination}); }
   void inputConnected(int32_t index, bool state) override { log.note(__func__, {index, state}); }
   void outputConnected(int32_t index, bool state) override { log.note(__func__, {index, state}); }
   int32_t reportCurrentPosition() override { return int32_t(log.note(__func__)); }
   float* reportDestinationBuffer() override {
      return reinterpret_cast<float*>(log.note(__func__));
   }
   void setBlockSizeAndSampleRate(int32_t size, float rate) override {
      log.note(__func__, {size}, rate);
   }
   bool getErrorText(char* text) override { return log.note(__func__, {addr(text)}); }
   void* getIcon() override { return reinterpret_cast<void*>(log.note(__func__)); }
   bool setViewPosition(int32_t x, int32_t y) override { return log.note(__func__, {x, y}); }
   int32_t fxIdle() override { return int32_t(log.note(__func__)); }
   bool keysRequired() override { return log.note(__func__); }
   int32_t offlineGetNumPasses() override { return int32_t(log.note(__func__)); }
   int32_t offlineGetNumMetaPasses() override { return int32_t(log.note(__func__)); }
};

// Drives an effect only through its record, as a host does.
inline intptr_t dispatch(AudioEffect& fx, int32_t opcode, int32_t index = 0, intptr_t value = 0,
                         void* ptr = nullptr, float opt = 0.0f) {
   AEffect* e = fx.getAeffect();
   return e->dispatcher(e, opcode, index, value, ptr, opt);
}
