// SPDX-License-Identifier: MIT
// The host library's facade as a program that embeds it uses it: typed errors, parameters set
// from text, state carried between instances, and processing at any block size that is
// bit-exact, stays inside the host's buffers and delivers events at their frames.
#include <trimwise/host/plugin.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <vector>

namespace trimwise::host {
namespace {

template <class E>
bool throws(const std::function<void()>& action) {
   try {
      action();
   } catch (const E& e) {
      return std::string(e.what()).size() > 0 && !e.hint().empty();
   } catch (...) {
      return false;
   }
   return false;
}

TEST(HostFacade, ThrowsTheErrorOfEachKind) {
   const Plugin trimwise = Plugin::load(TRIMWISE_PLUGIN_PATH);
   EXPECT_TRUE(throws<LoadError>([] { Plugin::load("/nonexistent/Trimwise.so"); }));
   EXPECT_TRUE(throws<LoadError>([] { Plugin::load("no-such-plugin-anywhere"); }));
   EXPECT_TRUE(throws<LoadError>([] { Plugin::load(FAKE_NO_ENTRY_PATH); }));
   EXPECT_TRUE(throws<LoadError>([] { Plugin::load(FAKE_REFUSING_PATH).instantiate(); }));
   EXPECT_TRUE(throws<PluginCrashed>([] { probe(FAKE_CRASHING_PATH); }));
   EXPECT_TRUE(throws<PluginTimeout>([] { probe(FAKE_HANGING_PATH, 0.2); }));
   EXPECT_TRUE(throws<PluginCrashed>([] { Plugin::load(FAKE_CRASHING_PATH, true); }));
   EXPECT_TRUE(throws<BadArgument>([&] { trimwise.instantiate({.blockSize = 0}); }));
   auto fake = Plugin::load(FAKE_MAIN_ONLY_PATH).instantiate();
   std::vector<double> samples(8);
   double* channels[2] = {samples.data(), samples.data()};
   EXPECT_TRUE(throws<BadArgument>([&] { fake.process(channels, channels, 8); }));
}

// Each library of a folder probed in a child: the ones that crash or hang there are listed
// with their status, and this process goes on.
TEST(HostFacade, ScansFoldersInChildProcesses) {
   const auto dir =
       std::filesystem::temp_directory_path() / ("host-facade-scan-" + std::to_string(getpid()));
   std::filesystem::create_directories(dir);
   const std::pair<const char*, const char*> links[] = {{"a_gain.so", TRIMWISE_PLUGIN_PATH},
                                                        {"b_crash.so", FAKE_CRASHING_PATH},
                                                        {"c_hang.so", FAKE_HANGING_PATH},
                                                        {"d_synth.so", FAKE_INSTRUMENT_PATH}};
   for (const auto& [name, target] : links)
      std::filesystem::create_symlink(target, dir / name);
   const ScanReport report = scanFolders({{dir.string(), "test"}}, 4, 0.5);
   std::filesystem::remove_all(dir);
   ASSERT_EQ(report.plugins.size(), 4u);
   const ProbeStatus expected[] = {ProbeStatus::usable, ProbeStatus::crashed, ProbeStatus::hung,
                                   ProbeStatus::usable};
   for (size_t i = 0; i < 4; ++i) {
      const PluginInfo& p = report.plugins[i];
      EXPECT_EQ(p.status, expected[i]) << links[i].first;
      EXPECT_EQ(p.usable, p.reason.empty()) << links[i].first;
      EXPECT_EQ(p.relative, links[i].first);
   }
   EXPECT_EQ(report.plugins[0].name, "Trimwise");
   EXPECT_EQ(report.plugins[0].lookupName, "a_gain");
   EXPECT_FALSE(report.plugins[0].isInstrument);
   EXPECT_TRUE(report.plugins[3].isInstrument);
}

// Parameters set from text as a user writes them, and the value each must reach.
TEST(HostFacade, SetsParametersFromText) {
   auto p = Plugin::load(TRIMWISE_PLUGIN_PATH).instantiate();
   struct Case {
      const char* text;
      float value;
   };
   const Case cases[] = {
       {"Left Gain=0.5", 0.5f},         {"left=0.25", 0.25f},       {"1=-inf", 0.0f},
       {"Right Gain=-6 dB", 0.501187f}, {"right gain=-20dB", 0.1f}, {"0=1", 1.0f},
   };
   for (const auto& c : cases) {
      const Parameter set = p.set(c.text);
      EXPECT_NEAR(set.value, c.value, 1e-6) << c.text;
      EXPECT_EQ(set.value, p.value(set.index)) << c.text;
   }
   const std::string shown = p.set(1, "-6 dB").display;
   EXPECT_EQ(shown, p.parameter(1).display);
   for (const char* bad : {"Left Gain=loud", "Gain=0.5", "Nope=0.5", "Left Gain=+3 dB", "7=0.5"})
      EXPECT_TRUE(throws<BadArgument>([&] { p.set(bad); })) << bad;
   EXPECT_TRUE(throws<BadArgument>([&] { p.set(2, "0.5"); }));
   EXPECT_TRUE(throws<BadArgument>([&] { p.parameter(-1); }));
   EXPECT_EQ(p.parameterIndex("right"), 1);
   EXPECT_EQ(p.programNames(), std::vector<std::string>{"Default"});
}

TEST(HostFacade, CarriesStateToAnotherInstanceAndRefusesForeignBytes) {
   const Plugin plugin = Plugin::load(TRIMWISE_PLUGIN_PATH);
   auto a = plugin.instantiate();
   a.setValue(0, 0.125f);
   a.setValue(1, 0.75f);
   const auto saved = a.state();
   auto b = plugin.instantiate();
   b.setState(saved);
   EXPECT_EQ(b.value(0), 0.125f);
   EXPECT_EQ(b.value(1), 0.75f);
   std::vector<unsigned char> cut(saved.begin(), saved.end() - 1);
   const std::vector<unsigned char> foreign{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
   for (const auto& bad : {cut, foreign, std::vector<unsigned char>{}})
      EXPECT_TRUE(throws<BadArgument>([&] { b.setState(bad); }));
   EXPECT_EQ(b.value(1), 0.75f);
}

// Saves a chunk instrument's state after setting two parameters, restores it into another
// instance and says whether they came back. The state must be the chunk itself.
bool carriesChunk(const char* path) {
   const Plugin plugin = Plugin::load(path);
   auto a = plugin.instantiate();
   if (!a.hasChunk() || a.parameterCount() < 6) return false;
   a.setValue(3, 0.25f);
   a.setValue(5, 0.75f);
   const auto saved = a.state();
   if (saved.size() < 4 || std::string(saved.begin(), saved.begin() + 4) == "TWPS") return false;
   auto b = plugin.instantiate();
   b.setState(saved);
   return b.value(3) == a.value(3) && b.value(5) == a.value(5);
}

// Debian's instruments that keep their state in a chunk, where installed. Each runs in a child
// (a death test), so that their own leaks stay out of this process's leak check while an
// overrun still fails. amsynth reads its chunk back with strlen: restoring it once ran past the
// host's buffer.
TEST(HostFacadeDeathTest, CarriesTheChunksOfInstalledInstruments) {
   for (const char* path : {"/usr/lib/vst/amsynth_vst.so", "/usr/lib/vst/ZynAddSubFX.so"}) {
      if (access(path, R_OK) != 0) continue;
      EXPECT_EXIT(_exit(carriesChunk(path) ? 0 : 1), ::testing::ExitedWithCode(0), "") << path;
   }
}

// Every output sample is exactly input times gain, whatever the block size, in place or not,
// and nothing is written past the frames asked for.
template <class Sample>
void checkBitExact(Instance& p, size_t frames, bool inPlace) {
   constexpr size_t kGuard = 16;
   constexpr Sample kFill = Sample(-1234.5);
   std::vector<Sample> in[2], out[2];
   for (int c = 0; c < 2; ++c) {
      in[c].assign(frames + kGuard, kFill);
      out[c].assign(frames + kGuard, kFill);
      for (size_t i = 0; i < frames; ++i)
         in[c][i] = Sample(std::sin(0.01 * double(i) + c)) * Sample(0.9);
   }
   const std::vector<Sample> original[2] = {in[0], in[1]};
   const Sample* ins[2] = {in[0].data(), in[1].data()};
   Sample* outs[2] = {inPlace ? in[0].data() : out[0].data(),
                      inPlace ? in[1].data() : out[1].data()};
   p.process(ins, outs, frames);
   for (int c = 0; c < 2; ++c) {
      const auto gain = Sample(p.value(c));
      const auto& result = inPlace ? in[c] : out[c];
      for (size_t i = 0; i < frames; ++i)
         ASSERT_EQ(result[i], original[c][i] * gain) << "channel " << c << " frame " << i;
      for (size_t i = frames; i < frames + kGuard; ++i)
         ASSERT_EQ(result[i], kFill) << "written past the end, channel " << c;
   }
}

TEST(HostFacade, ProcessesBitExactlyAtAnyBlockSize) {
   const Plugin plugin = Plugin::load(TRIMWISE_PLUGIN_PATH);
   for (const int32_t block : {1, 7, 512}) {
      for (const size_t frames : {size_t(0), size_t(1), size_t(1000)}) {
         for (const bool inPlace : {false, true}) {
            SCOPED_TRACE(testing::Message() << "block " << block << ", frames " << frames
                                            << (inPlace ? ", in place" : ""));
            auto p = plugin.instantiate({.sampleRate = 48000, .blockSize = block});
            p.set("Left Gain=-6 dB");
            p.set("Right Gain=0.3");
            checkBitExact<float>(p, frames, inPlace);
            checkBitExact<double>(p, frames, inPlace);
            EXPECT_EQ(p.position(), int64_t(2 * frames));
         }
      }
   }
}

TEST(HostFacade, DeliversEventsAtTheirFramesAndTheTempo) {
   auto p = Plugin::load(FAKE_INSTRUMENT_PATH).instantiate({.blockSize = 16});
   ASSERT_TRUE(p.isInstrument());
   p.setTempo(96.0);
   // The fake writes each note-on's velocity / 127 at its frame and the tempo / 240 beside it.
   const std::vector<MidiEvent> events{{0, {0x90, 60, 127}},
                                       {15, {0x90, 61, 64}},
                                       {16, {0x90, 62, 32}},
                                       {40, {0x80, 60, 0}},
                                       {40, {0x90, 63, 16}}};
   std::vector<float> left(48, -1.0f), right(48, -1.0f);
   float* outs[2] = {left.data(), right.data()};
   p.process(static_cast<const float* const*>(nullptr), outs, 48, events);
   for (size_t i = 0; i < left.size(); ++i) {
      float expected = 0.0f;
      for (const auto& e : events)
         if (size_t(e.frame) == i && e.data[0] == 0x90) expected = float(e.data[2]) / 127.0f;
      EXPECT_EQ(left[i], expected) << "frame " << i;
      EXPECT_EQ(right[i], float(96.0 / 240.0)) << "frame " << i;
   }
   const std::vector<MidiEvent> unordered{{5, {0x90, 1, 1}}, {4, {0x90, 1, 1}}};
   const std::vector<MidiEvent> outside{{48, {0x90, 1, 1}}};
   for (const auto& bad : {unordered, outside})
      EXPECT_TRUE(throws<BadArgument>(
          [&] { p.process(static_cast<const float* const*>(nullptr), outs, 48, bad); }));
}

} // namespace
} // namespace trimwise::host
