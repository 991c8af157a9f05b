// SPDX-License-Identifier: MIT
// The effect object's record after construction, the setters that change it, the editor's
// ownership and the extended resume.
#include "recording.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>

namespace {

// Every named field, then every other byte of the record (gaps, reserved fields, future) zero.
void expectFreshRecord(AudioEffect& fx) {
   const AEffect& r = *fx.getAeffect();
   EXPECT_EQ(r.magic, 0x56737450);
   EXPECT_EQ(r.dispatcher, &AudioEffect::dispatchEffectClass);
   EXPECT_EQ(r.process, &AudioEffect::processClass);
   EXPECT_EQ(r.setParameter, &AudioEffect::setParameterClass);
   EXPECT_EQ(r.getParameter, &AudioEffect::getParameterClass);
   EXPECT_EQ(r.processReplacing, &AudioEffect::processClassReplacing);
   EXPECT_EQ(r.processDoubleReplacing, &AudioEffect::processClassDoubleReplacing);
   EXPECT_EQ(r.numPrograms, 3);
   EXPECT_EQ(r.numParams, -7);
   EXPECT_EQ(r.numInputs, 1);
   EXPECT_EQ(r.numOutputs, 2);
   EXPECT_EQ(r.flags, effFlagsCanReplacing);
   EXPECT_EQ(r.ioRatio, 1.0f);
   EXPECT_EQ(r.object, static_cast<void*>(&fx));
   EXPECT_EQ(r.uniqueID, 0x4E6F4566);
   EXPECT_EQ(r.version, 1);

   AEffect rest;
   std::memcpy(&rest, &r, sizeof rest);
   rest.magic = rest.numPrograms = rest.numParams = rest.numInputs = rest.numOutputs = 0;
   rest.flags = rest.uniqueID = rest.version = 0;
   rest.ioRatio = 0.0f;
   rest.dispatcher = nullptr;
   rest.process = rest.processReplacing = nullptr;
   rest.setParameter = nullptr;
   rest.getParameter = nullptr;
   rest.processDoubleReplacing = nullptr;
   rest.object = nullptr;
   unsigned char bytes[sizeof rest];
   std::memcpy(bytes, &rest, sizeof rest);
   for (size_t i = 0; i < sizeof bytes; ++i)
      EXPECT_EQ(bytes[i], 0) << "record byte " << i;

   EXPECT_EQ(fx.getSampleRate(), 44100.0f);
   EXPECT_EQ(fx.getBlockSize(), 1024);
   EXPECT_EQ(fx.getProgram(), 0);
   EXPECT_EQ(fx.getEditor(), nullptr);
}

TEST(EffectCore, ConstructionFillsTheRecord) {
   PlainEffect base(nullptr, 3, -7);
   expectFreshRecord(base);
   PlainEffectX extended(recordingHost, 3, -7);
   expectFreshRecord(extended);
}

TEST(EffectCore, RecordSettersStoreTheirValueUnchanged) {
   PlainEffect fx;
   const AEffect& r = *fx.getAeffect();
   fx.setUniqueID(INT32_MIN);
   fx.setNumInputs(-1);
   fx.setNumOutputs(INT32_MAX);
   fx.setInitialDelay(-5);
   fx.setRealtimeQualities(7);
   fx.setOfflineQualities(-8);
   EXPECT_EQ(r.uniqueID, INT32_MIN);
   EXPECT_EQ(r.numInputs, -1);
   EXPECT_EQ(r.numOutputs, INT32_MAX);
   EXPECT_EQ(r.initialDelay, -5);
   EXPECT_EQ(r.realQualities, 7);
   EXPECT_EQ(r.offQualities, -8);
   EXPECT_EQ(r.flags, effFlagsCanReplacing);
}

// Each flag setter, with the one bit it owns.
struct FlagSetter {
   const char* name;
   std::function<void(AudioEffectX&, bool)> set;
   int32_t bit;
};

CallLog gEditorLog;
RecordingEditor gEditor(gEditorLog); // never owned by an effect

const FlagSetter kFlagSetters[] = {
    {"setEditor", [](AudioEffectX& fx, bool on) { fx.setEditor(on ? &gEditor : nullptr); }, 0x1},
    {"hasClip", [](AudioEffectX& fx, bool on) { fx.hasClip(on); }, 0x2},
    {"hasVu", [](AudioEffectX& fx, bool on) { fx.hasVu(on); }, 0x4},
    {"canMono", [](AudioEffectX& fx, bool on) { fx.canMono(on); }, 0x8},
    {"canProcessReplacing", [](AudioEffectX& fx, bool on) { fx.canProcessReplacing(on); }, 0x10},
    {"programsAreChunks", [](AudioEffectX& fx, bool on) { fx.programsAreChunks(on); }, 0x20},
    {"isSynth", [](AudioEffectX& fx, bool on) { fx.isSynth(on); }, 0x100},
    {"noTail", [](AudioEffectX& fx, bool on) { fx.noTail(on); }, 0x200},
    {"wantAsyncOperation", [](AudioEffectX& fx, bool on) { fx.wantAsyncOperation(on); }, 0x400},
    {"hasExternalBuffer", [](AudioEffectX& fx, bool on) { fx.hasExternalBuffer(on); }, 0x800},
    {"canDoubleReplacing", [](AudioEffectX& fx, bool on) { fx.canDoubleReplacing(on); }, 0x1000},
};

TEST(EffectCore, EachFlagSetterChangesOnlyItsBit) {
   for (const FlagSetter& s : kFlagSetters) {
      SCOPED_TRACE(s.name);
      for (int32_t others : {0, -1}) { // every other bit clear, then set
         PlainEffectX fx;
         int32_t& flags = fx.getAeffect()->flags;
         flags = others & ~s.bit;
         s.set(fx, true);
         EXPECT_EQ(flags, (others & ~s.bit) | s.bit);
         s.set(fx, true);
         EXPECT_EQ(flags, (others & ~s.bit) | s.bit);
         s.set(fx, false);
         EXPECT_EQ(flags, others & ~s.bit);
         s.set(fx, false);
         EXPECT_EQ(flags, others & ~s.bit);
         fx.setEditor(nullptr);
      }
   }
   EXPECT_TRUE(gEditorLog.calls.empty());
}

TEST(EffectCore, PlugCategoryFollowsTheSynthFlag) {
   PlainEffectX fx;
   fx.isSynth(true);
   EXPECT_EQ(fx.getPlugCategory(), kPlugCategSynth);
   EXPECT_EQ(dispatch(fx, effGetPlugCategory), 2);
   fx.isSynth(false);
   EXPECT_EQ(dispatch(fx, effGetPlugCategory), 0);
}

TEST(EffectCore, EditorIsDeletedOnceWithTheEffectAndNotWhenReplaced) {
   CallLog log;
   auto* replaced = new RecordingEditor(log, 1);
   auto* kept = new RecordingEditor(log, 2);
   auto* fx = new PlainEffectX;
   fx->setEditor(replaced);
   EXPECT_EQ(fx->getEditor(), replaced);
   fx->setEditor(kept);
   EXPECT_EQ(fx->getEditor(), kept);
   EXPECT_TRUE(log.calls.empty());
   AEffect* e = fx->getAeffect();
   EXPECT_EQ(e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f), 1);
   EXPECT_EQ(log.calls, std::vector<Call>{Call("editor.destructor", {2})});
   delete replaced;
}

// Asks canDo and wantEvents through the log instead of the host.
class ResumeProbe : public PlainEffectX {
public:
   explicit ResumeProbe(CallLog& log) : log(log) {}
   int32_t canDo(char* text) override {
      asked = text;
      return int32_t(log.note(__func__));
   }
   void wantEvents(int32_t filter) override { log.note(__func__, {filter}); }
   CallLog& log;
   std::string asked;
};

TEST(EffectCore, ResumeAsksForEventsWhenSynthOrCanDoAnswersExactlyOne) {
   struct Case {
      bool synth;
      intptr_t canDoAnswer;
      std::vector<Call> calls;
   };
   const Case cases[] = {{true, 0, {{"wantEvents", {1}}}},
                         {false, 1, {{"canDo"}, {"wantEvents", {1}}}},
                         {false, 0, {{"canDo"}}},
                         {false, 2, {{"canDo"}}},
                         {false, -1, {{"canDo"}}},
                         WIDE_ONLY({false, kHigh32 | 1, {{"canDo"}, {"wantEvents", {1}}}})};
   for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << "synth " << c.synth << " canDo " << c.canDoAnswer);
      CallLog log;
      ResumeProbe fx(log);
      fx.isSynth(c.synth);
      log.answers["canDo"] = c.canDoAnswer;
      dispatch(fx, effMainsChanged, 0, 1);
      EXPECT_EQ(log.calls, c.calls);
      EXPECT_EQ(fx.asked, c.synth ? "" : "receiveVstMidiEvent");
   }
}

TEST(EffectCore, SetBlockSizeAndSampleRateBypassesTheOverriddenSetters) {
   CallLog log;
   struct Probe : PlainEffectX {
      explicit Probe(CallLog& log) : log(log) {}
      void setSampleRate(float rate) override { log.note(__func__, {}, rate); }
      void setBlockSize(int32_t size) override { log.note(__func__, {size}); }
      CallLog& log;
   } fx(log);
   fx.setBlockSizeAndSampleRate(512, 48000.0f);
   EXPECT_EQ(fx.getBlockSize(), 512);
   EXPECT_EQ(fx.getSampleRate(), 48000.0f);
   EXPECT_TRUE(log.calls.empty());
}

} // namespace
