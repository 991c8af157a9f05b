// SPDX-License-Identifier: MIT
// Notes from Standard MIDI Files: placed at the right frames through tempo changes, sent to an
// instrument sample-accurately whatever the block size, and rendered by plughost for as long as
// the notes plus the tail.
#include "tests/support/run_plughost.h"
#include "tools/hostlib/midi_file.h"
#include "tools/hostlib/render.h"
#include "tools/hostlib/tool_error.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace plughost {
namespace {

namespace fs = std::filesystem;

using Bytes = std::vector<unsigned char>;

Bytes variableLength(uint32_t n) {
   Bytes out{static_cast<unsigned char>(n & 0x7F)};
   while (n >>= 7)
      out.insert(out.begin(), static_cast<unsigned char>((n & 0x7F) | 0x80));
   return out;
}

Bytes chunk(const char* id, const Bytes& body) {
   Bytes out(id, id + 4);
   for (int shift = 24; shift >= 0; shift -= 8)
      out.push_back(static_cast<unsigned char>(body.size() >> shift));
   out.insert(out.end(), body.begin(), body.end());
   return out;
}

// A format-1 file at 96 pulses per quarter note: a tempo track (120 bpm, then 60 bpm from the
// second beat) and a note track with four note-ons of distinct velocities. At 48 kHz they fall
// on frames 0, 24000 (beat 1), 48000 (beat 1.5) and 72500 (beat 193/96), the last with
// running status.
Bytes songBytes() {
   Bytes tempo, notes;
   auto event = [](Bytes& track, uint32_t delta, Bytes bytes) {
      const Bytes d = variableLength(delta);
      track.insert(track.end(), d.begin(), d.end());
      track.insert(track.end(), bytes.begin(), bytes.end());
   };
   event(tempo, 0, {0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20});  // 500000 us per quarter
   event(tempo, 96, {0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40}); // 1000000 us per quarter
   event(tempo, 0, {0xFF, 0x2F, 0x00});
   event(notes, 0, {0x90, 60, 127});
   event(notes, 96, {0x80, 60, 0});
   event(notes, 0, {0x90, 62, 64});
   event(notes, 48, {0x90, 64, 32});
   event(notes, 49, {67, 100}); // running status: another note-on
   event(notes, 0, {0xFF, 0x2F, 0x00});
   Bytes file = chunk("MThd", {0, 1, 0, 2, 0, 96});
   for (const Bytes* track : {&tempo, &notes}) {
      const Bytes c = chunk("MTrk", *track);
      file.insert(file.end(), c.begin(), c.end());
   }
   return file;
}

struct Note {
   int64_t frame;
   float level;
};
const Note kNotes[] = {
    {0, 127 / 127.0f}, {24000, 64 / 127.0f}, {48000, 32 / 127.0f}, {72500, 100 / 127.0f}};

class MidiFile : public ::testing::Test {
protected:
   fs::path dir;

   void SetUp() override {
      dir = fs::temp_directory_path() /
            ("plughost-midi-" + std::to_string(getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
      fs::create_directories(dir);
      write("song.mid", songBytes());
      write("notes.txt", Bytes{'n', 'o', 't', 'e', 's'});
      Bytes cut = songBytes();
      cut.resize(cut.size() - 9);
      write("cut.mid", cut); // the last chunk runs past the end
      cut.resize(cut.size() - 18);
      write("short.mid", cut); // the last chunk's header is cut
      Bytes two = songBytes();
      two[11] = 3; // announces three tracks
      write("two.mid", two);
   }
   void TearDown() override { fs::remove_all(dir); }
   std::string file(const std::string& name) const { return (dir / name).string(); }
   void write(const std::string& name, const Bytes& bytes) const {
      std::ofstream(file(name), std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes.data()),
                 static_cast<std::streamsize>(bytes.size()));
   }
};

TEST_F(MidiFile, PlacesEventsAtFramesThroughTheTempoMap) {
   const MidiSequence song = readMidiFile(file("song.mid"), 48000.0);
   ASSERT_EQ(song.events.size(), 5u);
   const int64_t frames[] = {0, 24000, 24000, 48000, 72500};
   const unsigned char statuses[] = {0x90, 0x80, 0x90, 0x90, 0x90};
   for (size_t i = 0; i < 5; ++i) {
      EXPECT_EQ(song.events[i].frame, frames[i]) << i;
      EXPECT_EQ(song.events[i].bytes[0], statuses[i]) << i;
      EXPECT_EQ(song.events[i].size, 3) << i;
   }
   ASSERT_EQ(song.tempos.size(), 2u);
   EXPECT_EQ(song.tempos[1].frame, 24000);
   EXPECT_DOUBLE_EQ(song.tempos[1].bpm, 60.0);
   EXPECT_DOUBLE_EQ(song.beatAt(72500, 48000.0), 193.0 / 96.0);
   EXPECT_EQ(song.endFrame, 72500);

   for (const char* bad : {"notes.txt", "cut.mid", "missing.mid", "short.mid", "two.mid"}) {
      try {
         readMidiFile(file(bad), 48000.0);
         ADD_FAILURE() << bad << " was read";
      } catch (const ToolError& e) {
         EXPECT_EQ(e.code(), ExitCode::file) << bad;
      }
   }
}

// Each note-on reaches the instrument in the block that holds its frame, at its offset: the
// fake instrument answers with an impulse exactly there. Its other output shows the tempo the
// host's time information gave for each frame: 120 bpm, then 60 from frame 24000.
TEST_F(MidiFile, EventsReachTheInstrumentSampleAccuratelyInEveryBlockSize) {
   const MidiSequence song = readMidiFile(file("song.mid"), 48000.0);
   for (const int32_t block : {1, 100, 512, 8192, 30000}) {
      PluginInstance p(PluginModule::load(FAKE_INSTRUMENT_PATH), {48000.0f, block, {}});
      p.start();
      StreamRenderer<float> renderer(p, ChannelMap{}, 0, block);
      renderer.setSequence(&song);
      const size_t total = 80000;
      std::vector<float> impulses(total);
      for (size_t done = 0; done < total;) {
         const size_t n = std::min(renderer.chunkFrames(), total - done);
         const float* out = renderer.process(nullptr, n);
         for (size_t i = 0; i < n; ++i) {
            impulses[done + i] = out[2 * i];
            ASSERT_EQ(out[2 * i + 1], done + i < 24000 ? 0.5f : 0.25f)
                << "block " << block << " frame " << done + i;
         }
         done += n;
      }
      EXPECT_EQ(renderer.eventsSent(), 5u) << block;
      size_t found = 0;
      for (size_t i = 0; i < total; ++i) {
         if (impulses[i] == 0.0f) continue;
         ASSERT_LT(found, std::size(kNotes)) << "block " << block << " frame " << i;
         EXPECT_EQ(static_cast<int64_t>(i), kNotes[found].frame) << "block " << block;
         EXPECT_EQ(impulses[i], kNotes[found].level) << "block " << block;
         ++found;
      }
      EXPECT_EQ(found, std::size(kNotes)) << "block " << block;
   }
}

TEST_F(MidiFile, ProcessRendersTheNotesPlusTheTailAndExplainsWhatAnInstrumentNeeds) {
   const auto run =
       trimwise::testing::runPlughost({"process", FAKE_INSTRUMENT_PATH, "--midi", "song.mid",
                                       "--rate", "48000", "--tail", "0.5", "-o", "out.wav"},
                                      {.folder = dir.string()});
   ASSERT_EQ(run.code, 0) << run.err;
   EXPECT_NE(run.out.find("\nnotes             song.mid (5 events, 2 tempos)\n"), std::string::npos)
       << run.out;
   AudioFileInfo info;
   const auto out = readAudioFile<float>(file("out.wav"), info);
   EXPECT_EQ(info.sampleRate, 48000);
   EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
   ASSERT_EQ(out.channels.size(), 2u) << "both outputs of a plug-in without inputs";
   EXPECT_EQ(out.frames(), 72500u + 24000u);
   for (const Note& n : kNotes)
      EXPECT_EQ(out.channels[0][static_cast<size_t>(n.frame)], n.level) << n.frame;

   struct Row {
      std::vector<std::string> args;
      int code;
      const char* cause;
   };
   const Row rows[] = {
       {{"process", FAKE_INSTRUMENT_PATH}, 2, "is an instrument: it plays notes"},
       {{"process", FAKE_INSTRUMENT_PATH, "--midi", "song.mid", "-i", "out.wav"},
        2,
        "takes no audio input"},
       {{"process", FAKE_INSTRUMENT_PATH, "--midi", "song.mid", "--seconds", "3"},
        2,
        "--seconds shapes the test signal only"},
       {{"process", FAKE_INSTRUMENT_PATH, "--midi", "notes.txt"},
        3,
        "'notes.txt' is not a readable MIDI file: "},
   };
   for (const Row& row : rows) {
      auto args = row.args;
      args.insert(args.end(), {"-o", "x.wav"});
      const auto bad = trimwise::testing::runPlughost(args, {.folder = dir.string()});
      EXPECT_EQ(bad.code, row.code) << row.cause << "\n" << bad.err;
      EXPECT_EQ(bad.err.rfind(std::string("plughost: error: "), 0), 0u) << bad.err;
      EXPECT_NE(bad.err.find(row.cause), std::string::npos) << bad.err;
      EXPECT_EQ(std::count(bad.err.begin(), bad.err.end(), '\n'), 2) << bad.err;
      EXPECT_FALSE(fs::exists(dir / "x.wav"));
   }
}

// A real instrument, if one is installed: sound comes out, as long as the notes plus the tail.
TEST_F(MidiFile, AnInstalledInstrumentSoundsForTheLengthOfTheNotes) {
   std::string instrument;
   for (const char* path : {"/usr/lib/vst/amsynth_vst.so", "/usr/lib/lxvst/amsynth_vst.so",
                            "/usr/lib/vst/ZynAddSubFX.so", "/usr/lib/lxvst/ZynAddSubFX.so"}) {
      if (fs::exists(path)) {
         instrument = path;
         break;
      }
   }
   if (instrument.empty()) GTEST_SKIP() << "no amsynth or ZynAddSubFX installed";
   // Under the leak checker, leaks of someone else's plug-in would fail plughost's exit code.
   setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
   const auto run =
       trimwise::testing::runPlughost({"process", instrument, "--midi", "song.mid", "--rate",
                                       "48000", "--tail", "1", "-o", "out.wav", "--json"},
                                      {.folder = dir.string()});
   ASSERT_EQ(run.code, 0) << run.err;
   AudioFileInfo info;
   const auto out = readAudioFile<float>(file("out.wav"), info);
   EXPECT_EQ(out.frames(), 72500u + 48000u) << instrument;
   const auto levels = measureLevels(out);
   ASSERT_FALSE(levels.empty());
   EXPECT_GT(levels[0].rms, 1e-3) << instrument << " stayed silent\n" << run.out;
}

} // namespace
} // namespace plughost
