// SPDX-License-Identifier: MIT
// A lilv-based test host: it finds the built bundles as LV2 hosts do (LV2_PATH), instantiates
// them with the features hosts pass and drives them through the descriptor only. Where a result
// has a reference, it is the same class's 2.4 module, loaded and driven through its record.
#include "tests/host/host_double.h"
#include "tools/validate/allocation_counter.h"

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/midi/midi.h>
#include <lv2/options/options.h>
#include <lv2/presets/presets.h>
#include <lv2/state/state.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

const char* const kTrimwise = "urn:trimwise:Quillmark%2C%20LLC:Trimwise";
const char* const kNoteGate = "urn:trimwise:The%20Trimwise%20authors:NoteGate";
const char* const kProgramChunk = "urn:trimwise:Trimwise%20tests:ProgramChunk";

// urid:map over a growing table; ids start at 1.
struct UridMap {
   std::map<std::string, LV2_URID> ids;
   LV2_URID_Map feature{this, [](LV2_URID_Map_Handle h, const char* uri) -> LV2_URID {
                           auto& ids = static_cast<UridMap*>(h)->ids;
                           return ids.emplace(uri, LV2_URID(ids.size() + 1)).first->second;
                        }};
   LV2_URID operator()(const char* uri) { return feature.map(this, uri); }
};

class World {
public:
   World() {
      setenv("LV2_PATH", TRIMWISE_LV2_PATH ":/usr/lib/lv2", 1);
      world = lilv_world_new();
      lilv_world_load_all(world);
   }
   ~World() { lilv_world_free(world); }
   const LilvPlugin* plugin(const char* uri) const {
      LilvNode* node = lilv_new_uri(world, uri);
      const LilvPlugin* p = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), node);
      lilv_node_free(node);
      return p;
   }
   LilvWorld* world;
};

World& world() {
   static World w;
   return w;
}

// One instance with urid:map and, if asked, a maximum and a nominal block length; ports connected
// by the test.
struct Lv2 {
   Lv2(const char* uri, double rate, int32_t maxBlock = 0, bool withMap = true,
       int32_t nominalBlock = 0) {
      plugin = world().plugin(uri);
      if (plugin == nullptr) return;
      blockOptions[0] = maxBlock;
      blockOptions[1] = nominalBlock;
      size_t n = 0;
      for (int i = 0; i < 2; ++i) {
         if (blockOptions[i] <= 0) continue;
         const char* key = i == 0 ? LV2_BUF_SIZE__maxBlockLength : LV2_BUF_SIZE__nominalBlockLength;
         options[n++] = {LV2_OPTIONS_INSTANCE, 0, map(key), sizeof(int32_t), map(LV2_ATOM__Int),
                         &blockOptions[i]};
      }
      options[n] = {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr};
      std::vector<const LV2_Feature*> list;
      if (withMap) list.push_back(&mapFeature);
      if (n > 0) list.push_back(&optionsFeature);
      list.push_back(nullptr);
      instance = lilv_plugin_instantiate(plugin, rate, list.data());
   }
   ~Lv2() {
      if (instance != nullptr) {
         if (active) lilv_instance_deactivate(instance);
         lilv_instance_free(instance);
      }
   }
   void connect(uint32_t port, void* data) { lilv_instance_connect_port(instance, port, data); }
   void activate() {
      lilv_instance_activate(instance);
      active = true;
   }
   void run(uint32_t frames) { lilv_instance_run(instance, frames); }
   const LV2_State_Interface* state() const {
      return static_cast<const LV2_State_Interface*>(
          lilv_instance_get_extension_data(instance, LV2_STATE__interface));
   }

   UridMap map;
   LV2_Feature mapFeature{LV2_URID__map, &map.feature};
   int32_t blockOptions[2] = {};
   LV2_Options_Option options[3] = {};
   LV2_Feature optionsFeature{LV2_OPTIONS__options, options};
   const LilvPlugin* plugin = nullptr;
   LilvInstance* instance = nullptr;
   bool active = false;
};

// The same class through the 2.4 record.
struct Vst {
   explicit Vst(const char* path) : library(path) {
      hostdouble::RecordingHost::reset();
      if (library.loaded()) effect = library.entry()(hostdouble::RecordingHost::callback);
      if (effect == nullptr) return;
      dispatch(effOpen);
      dispatch(effSetSampleRate, 0, 0, nullptr, 48000.0f);
      dispatch(effSetBlockSize, 0, 8192);
      dispatch(effMainsChanged, 0, 1);
   }
   ~Vst() {
      if (effect != nullptr) dispatch(effClose);
   }
   intptr_t dispatch(int32_t op, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr,
                     float opt = 0) {
      return effect->dispatcher(effect, op, index, value, ptr, opt);
   }
   hostdouble::PluginLibrary library;
   AEffect* effect = nullptr;
};

std::vector<float> signal(size_t frames, unsigned seed) {
   std::mt19937 rng(seed);
   std::uniform_real_distribution<float> d(-1.0f, 1.0f);
   std::vector<float> s(frames);
   for (float& x : s)
      x = d(rng);
   return s;
}

// A MIDI note event list as an LV2 atom sequence, in an 8-byte aligned buffer.
struct Sequence {
   explicit Sequence(LV2_URID midiType, LV2_URID sequenceType) : midi(midiType) {
      header()->atom.type = sequenceType;
      clear();
   }
   LV2_Atom_Sequence* header() { return reinterpret_cast<LV2_Atom_Sequence*>(buffer.data()); }
   void clear() {
      header()->atom.size = sizeof(LV2_Atom_Sequence_Body);
      header()->body = {};
   }
   void add(int64_t frame, uint8_t status, uint8_t note, uint8_t velocity) {
      auto* seq = header();
      // Addressed from the whole buffer: the events lie past the header's declared members.
      char* at = reinterpret_cast<char*>(buffer.data()) + sizeof(LV2_Atom) + seq->atom.size;
      LV2_Atom_Event ev{};
      ev.time.frames = frame;
      ev.body = {3, midi};
      const uint8_t bytes[3] = {status, note, velocity};
      std::memcpy(at, &ev, sizeof ev);
      std::memcpy(at + sizeof ev, bytes, sizeof bytes);
      seq->atom.size += uint32_t((sizeof(LV2_Atom_Event) + 3 + 7) & ~size_t(7));
   }
   // A time:Position object: tempo, bar, beat in the bar and speed, as hosts send transport.
   void addPosition(UridMap& map, float bpm, int64_t bar, float barBeat, float speed) {
      auto* seq = header();
      char* at = reinterpret_cast<char*>(buffer.data()) + sizeof(LV2_Atom) + seq->atom.size;
      struct Float {
         LV2_Atom_Property_Body head;
         float value;
         uint32_t pad;
      };
      struct Long {
         LV2_Atom_Property_Body head;
         int64_t value;
      };
      struct {
         LV2_Atom_Event event;
         LV2_Atom_Object_Body object;
         Float bpm, barBeat, speed;
         Long bar;
      } pos{};
      const LV2_URID f = map(LV2_ATOM__Float);
      pos.event.body = {uint32_t(sizeof pos - sizeof(LV2_Atom_Event)), map(LV2_ATOM__Object)};
      pos.object = {0, map(LV2_TIME__Position)};
      pos.bpm = {{map(LV2_TIME__beatsPerMinute), 0, {4, f}}, bpm, 0};
      pos.barBeat = {{map(LV2_TIME__barBeat), 0, {4, f}}, barBeat, 0};
      pos.speed = {{map(LV2_TIME__speed), 0, {4, f}}, speed, 0};
      pos.bar = {{map(LV2_TIME__bar), 0, {8, map(LV2_ATOM__Long)}}, bar};
      std::memcpy(at, &pos, sizeof pos);
      seq->atom.size += uint32_t(sizeof pos);
   }
   // A time:Position object whose properties are all doubles, as some hosts send them.
   void addPosition(UridMap& map, std::initializer_list<std::pair<const char*, double>> values) {
      struct Double {
         LV2_Atom_Property_Body head;
         double value;
      };
      auto* seq = header();
      char* at = reinterpret_cast<char*>(buffer.data()) + sizeof(LV2_Atom) + seq->atom.size;
      LV2_Atom_Event event{};
      const uint32_t bodySize =
          uint32_t(sizeof(LV2_Atom_Object_Body) + values.size() * sizeof(Double));
      event.body = {bodySize, map(LV2_ATOM__Object)};
      const LV2_Atom_Object_Body object = {0, map(LV2_TIME__Position)};
      std::memcpy(at, &event, sizeof event);
      std::memcpy(at + sizeof event, &object, sizeof object);
      char* property = at + sizeof event + sizeof object;
      for (const auto& [key, value] : values) {
         const Double d = {{map(key), 0, {sizeof(double), map(LV2_ATOM__Double)}}, value};
         std::memcpy(property, &d, sizeof d);
         property += sizeof d;
      }
      seq->atom.size += uint32_t(sizeof event + bodySize);
   }
   std::vector<uint64_t> buffer = std::vector<uint64_t>(4096);
   LV2_URID midi;
};

// Trimwise: blocks of 1 to 8192 frames changing from run to run, in place and out of place, at
// each sample rate; every output sample is exactly input x gain.
TEST(Lv2Host, TrimwiseIsBitExactForAnyBlockRateAndBufferSharing) {
   const float gains[2] = {0.70794576f, 0.25f};
   for (double rate : {22050.0, 44100.0, 96000.0, 192000.0}) {
      for (bool inPlace : {false, true}) {
         SCOPED_TRACE(testing::Message() << rate << (inPlace ? " in place" : " out of place"));
         Lv2 fx(kTrimwise, rate, rate == 44100.0 ? 512 : 0);
         ASSERT_NE(fx.instance, nullptr);
         const size_t total = 20000;
         std::vector<float> in[2] = {signal(total, 1), signal(total, 2)};
         std::vector<float> out[2] = {in[0], in[1]};
         float control[2] = {gains[0], gains[1]}, latency = -1.0f;
         fx.connect(4, &control[0]);
         fx.connect(5, &control[1]);
         fx.connect(6, &latency);
         fx.activate();
         std::mt19937 rng{unsigned(rate)};
         std::uniform_int_distribution<uint32_t> length(1, 8192);
         for (size_t done = 0; done < total;) {
            const uint32_t n = std::min<uint32_t>(length(rng), uint32_t(total - done));
            for (uint32_t c = 0; c < 2; ++c) {
               fx.connect(c, (inPlace ? out[c] : in[c]).data() + done);
               fx.connect(2 + c, out[c].data() + done);
            }
            fx.run(n);
            done += n;
         }
         EXPECT_EQ(latency, 0.0f);
         for (size_t c = 0; c < 2; ++c) {
            for (size_t i = 0; i < total; ++i) {
               ASSERT_EQ(out[c][i], in[c][i] * gains[c]) << "channel " << c << " frame " << i;
            }
         }
      }
   }
}

// NoteGate and Trimwise give bit-identical output through both formats for the same input,
// gains and notes; the notes fall at their own frames, across run boundaries too.
TEST(Lv2Host, BothFormatsGiveTheSameOutput) {
   struct Case {
      const char* uri;
      const char* module;
      float control;
      bool notes;
   };
   for (const Case& k : {Case{kTrimwise, TRIMWISE_VST_PATH, 0.5f, false},
                         Case{kNoteGate, NOTEGATE_VST_PATH, 0.1f, true}}) {
      SCOPED_TRACE(k.uri);
      const int32_t frames = 4096;
      std::vector<float> in[2] = {signal(frames, 3), signal(frames, 4)};
      // Note on at 100, off at 1500; on again at 3000 and held.
      const std::vector<std::array<int32_t, 3>> notes = {
          {100, 0x90, 64}, {1500, 0x80, 0}, {3000, 0x90, 64}};

      Lv2 lv2(k.uri, 48000.0);
      ASSERT_NE(lv2.instance, nullptr);
      std::vector<float> lv2Out[2] = {std::vector<float>(frames), std::vector<float>(frames)};
      float control[2] = {k.control, k.control}, latency = 0;
      Sequence seq(lv2.map(LV2_MIDI__MidiEvent), lv2.map(LV2_ATOM__Sequence));
      const uint32_t numControls = k.notes ? 1 : 2;
      for (uint32_t i = 0; i < numControls; ++i)
         lv2.connect(4 + i, &control[i]);
      lv2.connect(4 + numControls, &latency);
      if (k.notes) lv2.connect(5 + numControls, seq.header());
      lv2.activate();
      for (int32_t start = 0; start < frames; start += 1000) {
         const int32_t n = std::min(1000, frames - start);
         seq.clear();
         for (const auto& note : notes) {
            if (k.notes && note[0] >= start && note[0] < start + n)
               seq.add(note[0] - start, uint8_t(note[1]), 60, uint8_t(note[2]));
         }
         for (uint32_t c = 0; c < 2; ++c) {
            lv2.connect(c, in[c].data() + start);
            lv2.connect(2 + c, lv2Out[c].data() + start);
         }
         lv2.run(uint32_t(n));
      }

      Vst vst(k.module);
      ASSERT_NE(vst.effect, nullptr);
      for (uint32_t i = 0; i < numControls; ++i)
         vst.effect->setParameter(vst.effect, int32_t(i), control[i]);
      std::vector<float> vstOut[2] = {std::vector<float>(frames), std::vector<float>(frames)};
      VstMidiEvent events[3] = {};
      struct {
         int32_t numEvents;
         intptr_t reserved;
         VstEvent* events[3];
      } list{0, 0, {}};
      for (int32_t start = 0; start < frames; start += 1000) {
         const int32_t n = std::min(1000, frames - start);
         list.numEvents = 0;
         for (size_t i = 0; i < notes.size(); ++i) {
            if (!k.notes || notes[i][0] < start || notes[i][0] >= start + n) continue;
            events[i] = VstMidiEvent{kVstMidiType,
                                     sizeof(VstMidiEvent),
                                     notes[i][0] - start,
                                     0,
                                     0,
                                     0,
                                     {char(notes[i][1]), 60, char(notes[i][2]), 0},
                                     0,
                                     0,
                                     0,
                                     0};
            list.events[list.numEvents++] = reinterpret_cast<VstEvent*>(&events[i]);
         }
         if (k.notes) vst.dispatch(effProcessEvents, 0, 0, &list);
         float* ins[2] = {in[0].data() + start, in[1].data() + start};
         float* outs[2] = {vstOut[0].data() + start, vstOut[1].data() + start};
         vst.effect->processReplacing(vst.effect, ins, outs, n);
      }
      for (size_t c = 0; c < 2; ++c) {
         ASSERT_EQ(0, std::memcmp(lv2Out[c].data(), vstOut[c].data(), frames * sizeof(float)))
             << "channel " << c;
      }
      if (k.notes) {
         EXPECT_EQ(lv2Out[0][99], in[0][99] * 0.1f);
         EXPECT_EQ(lv2Out[0][100], in[0][100]);
         EXPECT_EQ(lv2Out[0][1500], in[0][1500] * 0.1f);
         EXPECT_EQ(lv2Out[0][3000], in[0][3000]);
      }
   }
}

// The events port of NoteGate needs urid:map: without it there is no instance.
TEST(Lv2Host, MissingRequiredFeatureGivesNoInstance) {
   Lv2 without(kNoteGate, 48000.0, 0, false);
   ASSERT_NE(without.plugin, nullptr);
   EXPECT_EQ(without.instance, nullptr);
   Lv2 with(kNoteGate, 48000.0);
   EXPECT_NE(with.instance, nullptr);
}

// Ports left null process nothing; once connected, the same instance works. Unknown port indices
// are ignored; run(0) still reports the latency.
TEST(Lv2Host, NullPortsThenConnected) {
   Lv2 fx(kTrimwise, 48000.0);
   ASSERT_NE(fx.instance, nullptr);
   fx.connect(9999, nullptr);
   fx.connect(7, reinterpret_cast<void*>(0x1));
   fx.activate();
   fx.run(64);
   float latency = -1.0f;
   fx.connect(6, &latency);
   fx.run(0);
   EXPECT_EQ(latency, 0.0f);
   // Four guard samples after each output block.
   std::vector<float> in = signal(64, 5), left(64 + 4, 7.0f), right(64 + 4, 7.0f);
   float half = 0.5f;
   fx.connect(4, &half);
   fx.connect(0, in.data());
   fx.connect(1, in.data());
   fx.connect(2, left.data());
   fx.run(64);
   EXPECT_EQ(left[0], 7.0f) << "ran with out_2 still null";
   fx.connect(3, right.data());
   fx.run(64);
   for (size_t i = 0; i < 64; ++i) {
      ASSERT_EQ(left[i], in[i] * 0.5f);
      ASSERT_EQ(right[i], in[i]);
   }
   for (size_t i = 64; i < left.size(); ++i)
      EXPECT_TRUE(left[i] == 7.0f && right[i] == 7.0f) << i;
}

// Events out of order and past the end of the run are clamped into it, never read past.
TEST(Lv2Host, EventTimesAreClamped) {
   Lv2 fx(kNoteGate, 48000.0);
   ASSERT_NE(fx.instance, nullptr);
   Sequence seq(fx.map(LV2_MIDI__MidiEvent), fx.map(LV2_ATOM__Sequence));
   seq.add(50, 0x90, 60, 100);
   seq.add(10, 0x80, 60, 0);     // before the previous one: clamped to 50
   seq.add(1000, 0x90, 61, 100); // past the end: clamped to the last frame
   std::vector<float> in(64, 1.0f), out(64);
   float closed = 0.0f, latency = 0;
   fx.connect(0, in.data());
   fx.connect(1, in.data());
   fx.connect(2, out.data());
   fx.connect(3, out.data());
   fx.connect(4, &closed);
   fx.connect(5, &latency);
   fx.connect(6, seq.header());
   fx.activate();
   fx.run(64);
   for (size_t i = 0; i < 63; ++i)
      ASSERT_EQ(out[i], 0.0f) << i;
   EXPECT_EQ(out[63], 1.0f);
}

// More events than one processing call takes: the run is processed in pieces and every note
// still switches the gate at its own frame.
TEST(Lv2Host, ManyEventsAreSplitIntoPieces) {
   Lv2 fx(kNoteGate, 48000.0);
   ASSERT_NE(fx.instance, nullptr);
   Sequence seq(fx.map(LV2_MIDI__MidiEvent), fx.map(LV2_ATOM__Sequence));
   const uint32_t frames = 2048;
   for (int64_t i = 0; i < 600; ++i)
      seq.add(i * 3, i % 2 == 0 ? 0x90 : 0x80, 60, 100);
   std::vector<float> in(frames, 1.0f), out(frames);
   float closed = 0.0f, latency = 0;
   for (uint32_t c = 0; c < 2; ++c)
      fx.connect(c, in.data()), fx.connect(2 + c, out.data());
   fx.connect(4, &closed);
   fx.connect(5, &latency);
   fx.connect(6, seq.header());
   fx.activate();
   fx.run(frames);
   for (uint32_t i = 0; i < frames; ++i) {
      const bool open = i < 1800 && (i / 3) % 2 == 0;
      ASSERT_EQ(out[i], open ? 1.0f : 0.0f) << "frame " << i;
   }
}

// Presets hold each program's values; restoring one sets the ports, and the output follows.
TEST(Lv2Host, PresetsAreThePrograms) {
   LilvWorld* w = world().world;
   const LilvPlugin* plugin = world().plugin(kProgramChunk);
   ASSERT_NE(plugin, nullptr);
   LilvNode* presetClass = lilv_new_uri(w, LV2_PRESETS__Preset);
   LilvNodes* presets = lilv_plugin_get_related(plugin, presetClass);
   EXPECT_EQ(lilv_nodes_size(presets), 3u);
   // The escaped name reads back as written: quotes, a backslash and the Latin-1 e-acute (UTF-8).
   LilvNode* symbol = lilv_new_string(w, "tone_a");
   LilvNode* name = lilv_port_get_name(plugin, lilv_plugin_get_port_by_symbol(plugin, symbol));
   EXPECT_STREQ(lilv_node_as_string(name), "Tone \"A\" \\ \xC3\xA9");
   lilv_node_free(name);
   lilv_node_free(symbol);
   Lv2 fx(kProgramChunk, 48000.0);
   ASSERT_NE(fx.instance, nullptr);
   LilvNode* preset = lilv_new_uri(w, (std::string(kProgramChunk) + "#preset-3").c_str());
   lilv_world_load_resource(w, preset);
   LilvState* state = lilv_state_new_from_world(w, &fx.map.feature, preset);
   ASSERT_NE(state, nullptr);
   EXPECT_STREQ(lilv_state_get_label(state), "Quiet \"q\"");
   float controls[3] = {1, 1, 1};
   struct Ports {
      float* controls;
   } ports{controls};
   lilv_state_restore(
       state, fx.instance,
       [](const char* symbol, void* user, const void* value, uint32_t, uint32_t) {
          auto* p = static_cast<Ports*>(user);
          const float v = *static_cast<const float*>(value);
          if (std::strcmp(symbol, "level") == 0) p->controls[0] = v;
          if (std::strcmp(symbol, "level_2") == 0) p->controls[1] = v;
          if (std::strcmp(symbol, "tone_a") == 0) p->controls[2] = v;
       },
       &ports, 0, nullptr);
   EXPECT_EQ(controls[0], 0.125f);
   EXPECT_EQ(controls[1], 0.25f);
   EXPECT_EQ(controls[2], 0.75f);
   lilv_state_free(state);
   lilv_node_free(preset);
   lilv_nodes_free(presets);
   lilv_node_free(presetClass);
}

// The chunk survives a save and a restore into a new instance; a truncated blob or one from
// another plug-in is refused and changes nothing.
TEST(Lv2Host, StateKeepsTheChunkAndRefusesForeignBlobs) {
   struct Blob {
      std::vector<char> bytes;
      uint32_t type = 0;
   };
   auto output = [](Lv2& fx) {
      std::vector<float> in(8, 1.0f), out(8);
      float controls[3] = {1.0f, 1.0f, 0.5f}, latency = 0;
      for (uint32_t c = 0; c < 2; ++c)
         fx.connect(c, in.data()), fx.connect(2 + c, out.data());
      for (uint32_t i = 0; i < 3; ++i)
         fx.connect(4 + i, &controls[i]);
      fx.connect(7, &latency);
      if (!fx.active) fx.activate();
      fx.run(8);
      return out[0];
   };
   auto store = [](LV2_State_Handle h, uint32_t, const void* value, size_t size, uint32_t type,
                   uint32_t) {
      auto* blob = static_cast<Blob*>(h);
      blob->bytes.assign(static_cast<const char*>(value), static_cast<const char*>(value) + size);
      blob->type = type;
      return LV2_STATE_SUCCESS;
   };
   auto retrieve = [](LV2_State_Handle h, uint32_t, size_t* size, uint32_t* type,
                      uint32_t* flags) -> const void* {
      auto* blob = static_cast<Blob*>(h);
      *size = blob->bytes.size(), *type = blob->type, *flags = LV2_STATE_IS_POD;
      return blob->bytes.data();
   };

   Lv2 a(kProgramChunk, 48000.0);
   ASSERT_NE(a.instance, nullptr);
   ASSERT_NE(a.state(), nullptr);
   Blob blob;
   ASSERT_EQ(a.state()->save(lilv_instance_get_handle(a.instance), store, &blob, 0, nullptr),
             LV2_STATE_SUCCESS);
   ASSERT_EQ(blob.bytes.size(), 12u + 32u);
   // The trim, the one value no port shows, becomes 0.5.
   const float trim = 0.5f;
   std::memcpy(blob.bytes.data() + 12 + 12, &trim, sizeof trim);

   Lv2 b(kProgramChunk, 48000.0);
   ASSERT_EQ(output(b), 1.0f);
   ASSERT_EQ(b.state()->restore(lilv_instance_get_handle(b.instance), retrieve, &blob, 0, nullptr),
             LV2_STATE_SUCCESS);
   EXPECT_EQ(output(b), 0.5f);

   // Saved again by lilv from b, restored into a fresh instance c.
   LilvState* saved =
       lilv_state_new_from_instance(b.plugin, b.instance, &b.map.feature, nullptr, nullptr, nullptr,
                                    nullptr, nullptr, nullptr, 0, nullptr);
   ASSERT_NE(saved, nullptr);
   Lv2 c(kProgramChunk, 48000.0);
   lilv_state_restore(saved, c.instance, nullptr, nullptr, 0, nullptr);
   EXPECT_EQ(output(c), 0.5f);
   lilv_state_free(saved);

   Blob truncated = blob;
   truncated.bytes.pop_back();
   Blob foreign = blob;
   foreign.bytes[4] ^= 1; // another unique ID
   Blob wrongType = blob;
   wrongType.type = b.map(LV2_ATOM__String);
   for (Blob* bad : {&truncated, &foreign, &wrongType}) {
      Lv2 d(kProgramChunk, 48000.0);
      EXPECT_NE(d.state()->restore(lilv_instance_get_handle(d.instance), retrieve, bad, 0, nullptr),
                LV2_STATE_SUCCESS);
      EXPECT_EQ(output(d), 1.0f);
   }
}

// ProgramChunk with its event port connected, as a probe of the time information and pieces the
// adapter gives the effect: its chunk holds what the effect read in the last piece it processed.
struct TransportProbe {
   struct Chunk {
      float values[3], trim, tempo, ppqPos;
      int32_t timeSigNumerator, timeSigDenominator;
   };
   explicit TransportProbe(int32_t maxBlock = 0, int32_t nominalBlock = 0)
       : fx(kProgramChunk, 48000.0, maxBlock, true, nominalBlock),
         seq(fx.map(LV2_MIDI__MidiEvent), fx.map(LV2_ATOM__Sequence)) {
      if (fx.instance == nullptr) return;
      for (uint32_t c = 0; c < 2; ++c)
         fx.connect(c, in.data()), fx.connect(2 + c, out.data());
      for (uint32_t i = 0; i < 3; ++i)
         fx.connect(4 + i, &controls[i]);
      fx.connect(7, &latency);
      fx.connect(8, seq.header());
      fx.activate();
   }
   // Runs with the events added since the last run, and answers the chunk saved after it.
   Chunk run(uint32_t frames) {
      fx.run(frames);
      seq.clear();
      Chunk chunk{};
      fx.state()->save(
          lilv_instance_get_handle(fx.instance),
          [](LV2_State_Handle h, uint32_t, const void* value, size_t size, uint32_t, uint32_t) {
             if (size == 12 + sizeof(Chunk))
                std::memcpy(h, static_cast<const char*>(value) + 12, sizeof(Chunk));
             return LV2_STATE_SUCCESS;
          },
          &chunk, 0, nullptr);
      return chunk;
   }

   Lv2 fx;
   Sequence seq;
   std::vector<float> in = std::vector<float>(8192, 1.0f), out = std::vector<float>(8192);
   float controls[3] = {1.0f, 1.0f, 0.5f}, latency = 0;
};

// The host's time:Position answers the effect's time-information requests.
TEST(Lv2Host, TransportComesFromTimePosition) {
   TransportProbe probe;
   ASSERT_NE(probe.fx.instance, nullptr);
   EXPECT_EQ(probe.run(64).tempo, 0.0f) << "time information without any time:Position";
   probe.seq.addPosition(probe.fx.map, 140.0f, 2, 1.5f, 1.0f);
   const TransportProbe::Chunk chunk = probe.run(64);
   EXPECT_EQ(chunk.tempo, 140.0f);
   EXPECT_EQ(chunk.ppqPos, 9.5f); // bar 2 of 4/4, beat 1.5
}

// The longest piece the effect is given is the host's maximum block length when there is one,
// else its nominal length, else 4096. Seen through the position that the last piece of a run of
// 8192 frames reads: at 120 beats per minute and 48000 Hz a quarter note lasts 24000 frames.
TEST(Lv2Host, BlockLengthOptionsBoundThePieces) {
   struct Case {
      int32_t maxBlock, nominalBlock;
      uint32_t piece;
   };
   for (const Case& k : {Case{0, 0, 4096}, Case{8192, 0, 8192}, Case{0, 1024, 1024},
                         Case{4096, 1024, 4096}, Case{8192, 1024, 8192}, Case{2048, 512, 2048}}) {
      SCOPED_TRACE(testing::Message() << "max " << k.maxBlock << " nominal " << k.nominalBlock);
      TransportProbe probe(k.maxBlock, k.nominalBlock);
      ASSERT_NE(probe.fx.instance, nullptr);
      probe.seq.addPosition(probe.fx.map, 120.0f, 0, 0.0f, 1.0f);
      EXPECT_FLOAT_EQ(probe.run(8192).ppqPos, float((8192 - k.piece) / 24000.0));
   }
}

// Deactivating and activating again forgets the transport: until the host sends a position again
// the effect gets no time information, rather than a stale position that keeps playing.
TEST(Lv2Host, ActivateForgetsTheTransport) {
   TransportProbe probe;
   ASSERT_NE(probe.fx.instance, nullptr);
   probe.seq.addPosition(probe.fx.map, 120.0f, 1, 0.0f, 1.0f);
   ASSERT_EQ(probe.run(4096).ppqPos, 4.0f);
   lilv_instance_deactivate(probe.fx.instance);
   lilv_instance_activate(probe.fx.instance);
   EXPECT_EQ(probe.run(4096).ppqPos, 4.0f) << "the effect was given the old position";
}

// The time signature and the position in quarter notes follow time:Position's bar, beat, beats
// per bar and beat unit; a signature that is not positive or that the record's 32-bit fields
// cannot hold counts as 4/4.
TEST(Lv2Host, TimeSignatureFromTimePosition) {
   struct Case {
      double beatsPerBar, beatUnit;
      int32_t numerator, denominator;
      float ppqPos; // bar 2, beat 1.5
   };
   for (const Case& k :
        {Case{3, 8, 3, 8, 3.75f}, Case{7, 4, 7, 4, 15.5f}, Case{-3, 4, 4, 4, 9.5f},
         Case{1e12, 4, 4, 4, 9.5f}, Case{3, 1e12, 3, 4, 7.5f}, Case{3e9, 2, 4, 2, 19.0f}}) {
      SCOPED_TRACE(testing::Message() << k.beatsPerBar << "/" << k.beatUnit);
      TransportProbe probe;
      ASSERT_NE(probe.fx.instance, nullptr);
      probe.seq.addPosition(probe.fx.map, {{LV2_TIME__beatsPerMinute, 120.0},
                                           {LV2_TIME__bar, 2.0},
                                           {LV2_TIME__barBeat, 1.5},
                                           {LV2_TIME__beatsPerBar, k.beatsPerBar},
                                           {LV2_TIME__beatUnit, k.beatUnit}});
      const TransportProbe::Chunk chunk = probe.run(64);
      EXPECT_EQ(chunk.timeSigNumerator, k.numerator);
      EXPECT_EQ(chunk.timeSigDenominator, k.denominator);
      EXPECT_EQ(chunk.ppqPos, k.ppqPos);
   }
}

// run() is real-time safe: with a changed control, a position, more events than one call takes,
// pieces cut at the maximum block length, inputs that are outputs, and run(0), it allocates,
// frees and locks nothing.
TEST(Lv2Host, RunAllocatesAndLocksNothing) {
   using namespace plughost::validate;
   if (!allocationCountingAvailable()) GTEST_SKIP() << allocationCountingUnavailableReason();
   TransportProbe probe(512);
   ASSERT_NE(probe.fx.instance, nullptr);
   probe.fx.connect(0, probe.out.data());
   probe.fx.connect(1, probe.in.data());
   probe.fx.connect(3, probe.in.data());
   probe.run(16);
   probe.seq.addPosition(probe.fx.map, 120.0f, 1, 0.0f, 1.0f);
   for (int64_t i = 0; i < 600; ++i)
      probe.seq.add(i * 3, i % 2 == 0 ? 0x90 : 0x80, 60, 100);
   probe.controls[0] = 0.25f;
   std::fill(probe.out.begin(), probe.out.end(), 1.0f);
   armAllocationCounting();
   probe.fx.run(4096);
   probe.fx.run(0);
   const AllocationCounts counts = disarmAllocationCounting();
   EXPECT_EQ(counts.allocations, 0u);
   EXPECT_EQ(counts.frees, 0u);
   EXPECT_EQ(counts.locks, 0u);
   EXPECT_EQ(probe.out[0], 0.25f) << "the changed control reached the effect";
}

} // namespace
