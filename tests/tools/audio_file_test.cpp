// SPDX-License-Identifier: MIT
// Audio files: samples survive a round trip exactly, PCM clips instead of wrapping, and the
// output format follows the file name.
#include "tools/hostlib/audio_file.h"
#include "tools/hostlib/tool_error.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace plughost {
namespace {

class AudioFile : public ::testing::Test {
protected:
   std::filesystem::path dir;

   void SetUp() override {
      dir = std::filesystem::temp_directory_path() /
            ("plughost-audio-" + std::to_string(getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
      std::filesystem::create_directories(dir);
   }
   void TearDown() override { std::filesystem::remove_all(dir); }
   std::string file(const char* name) const { return (dir / name).string(); }
};

TEST_F(AudioFile, FloatSamplesSurviveARoundTripBitForBit) {
   PlanarAudio<float> audio(2, 5);
   audio.channels[0] = {0.0f, -0.0f, 1e-30f, 0.123456789f, -1.0f};
   audio.channels[1] = {1.5f, -2.25f, 0.1f, 3e-8f, 0.999999f};
   writeAudioFile(file("a.wav"), audio, 48000, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
   AudioFileInfo info;
   const auto back = readAudioFile<float>(file("a.wav"), info);
   EXPECT_EQ(info.sampleRate, 48000);
   EXPECT_EQ(info.channels, 2);
   EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
   ASSERT_EQ(back.channels.size(), 2u);
   for (size_t c = 0; c < 2; ++c) {
      for (size_t i = 0; i < 5; ++i) {
         EXPECT_EQ(std::memcmp(&back.channels[c][i], &audio.channels[c][i], sizeof(float)), 0)
             << c << "/" << i;
      }
   }
}

TEST_F(AudioFile, LongFilesCrossTheInternalChunksIntact) {
   PlanarAudio<double> audio(1, 10000);
   for (size_t i = 0; i < audio.frames(); ++i)
      audio.channels[0][i] = static_cast<double>(i) / 1e4;
   writeAudioFile(file("long.w64"), audio, 44100, SF_FORMAT_W64 | SF_FORMAT_DOUBLE);
   AudioFileInfo info;
   EXPECT_EQ(readAudioFile<double>(file("long.w64"), info).channels, audio.channels);
}

TEST_F(AudioFile, Pcm16KeepsItsValuesAndClipsOvers) {
   PlanarAudio<float> audio(1, 4);
   audio.channels[0] = {0.5f, -0.5f, 1.5f, -1.5f};
   writeAudioFile(file("p.wav"), audio, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
   SF_INFO info{};
   SNDFILE* f = sf_open(file("p.wav").c_str(), SFM_READ, &info);
   ASSERT_NE(f, nullptr);
   short raw[4] = {};
   ASSERT_EQ(sf_readf_short(f, raw, 4), 4);
   sf_close(f);
   EXPECT_EQ(raw[0], 16384);
   EXPECT_EQ(raw[1], -16384);
   EXPECT_EQ(raw[2], 32767) << "an over must clip, not wrap";
   EXPECT_EQ(raw[3], -32768);
}

TEST_F(AudioFile, ReadingAMissingOrBrokenFileIsAnAudioError) {
   AudioFileInfo info;
   for (const char* name : {"missing.wav", "broken.wav"}) {
      if (std::string(name) == "broken.wav") {
         FILE* f = std::fopen(file(name).c_str(), "wb");
         std::fputs("RIFF but not really", f);
         std::fclose(f);
      }
      try {
         readAudioFile<float>(file(name), info);
         ADD_FAILURE() << name << " was read";
      } catch (const ToolError& e) {
         EXPECT_EQ(e.code(), ExitCode::file) << name;
      }
   }
}

TEST(OutputFormat, FollowsTheExtensionAndTheEncoding) {
   const int wavFloat = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
   const int flac16 = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
   struct Row {
      const char* path;
      int input;
      const char* encoding;
      int expected;
   };
   const Row rows[] = {
       {"out.wav", flac16, "same", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
       {"OUT.WAV", wavFloat, "same", wavFloat},
       {"dir.x/out.aif", wavFloat, "pcm24", SF_FORMAT_AIFF | SF_FORMAT_PCM_24},
       {"out.aiff", wavFloat, "double", SF_FORMAT_AIFF | SF_FORMAT_DOUBLE},
       {"out.flac", wavFloat, "pcm16", flac16},
       {"out.caf", wavFloat, "pcm32", SF_FORMAT_CAF | SF_FORMAT_PCM_32},
   };
   for (const Row& row : rows) {
      EXPECT_EQ(chooseOutputFormat(row.path, row.input, row.encoding), row.expected) << row.path;
   }
}

// Where "same" cannot carry the input's encoding, the audio is kept losslessly and a note says
// so; lossy containers take their codec. A note appears only when the encoding changed.
TEST(OutputFormat, SameKeepsTheAudioWhereTheContainerCannotHoldTheInputsEncoding) {
   const int mp3 = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
   const int vorbis = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
   const int wav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
   struct Row {
      const char* path;
      int input;
      int expected;
      const char* note;
   } rows[] = {
       {"out.wav", mp3, SF_FORMAT_WAV | SF_FORMAT_FLOAT, "written as 32-bit float"},
       {"out.flac", vorbis, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, "written as 24-bit PCM"},
       {"out.flac", SF_FORMAT_WAV | SF_FORMAT_FLOAT, SF_FORMAT_FLAC | SF_FORMAT_PCM_24,
        "cannot hold 32-bit float"},
       {"out.rf64", wav16, SF_FORMAT_RF64 | SF_FORMAT_PCM_16, ""},
       {"out.w64", mp3, SF_FORMAT_W64 | SF_FORMAT_FLOAT, "written as 32-bit float"},
       {"out.ogg", wav16, vorbis, ""},
       {"out.opus", wav16, SF_FORMAT_OGG | SF_FORMAT_OPUS, ""},
       {"out.mp3", vorbis, mp3, ""},
   };
   for (const Row& row : rows) {
      std::string note;
      EXPECT_EQ(chooseOutputFormat(row.path, row.input, "same", &note), row.expected) << row.path;
      if (*row.note == '\0') {
         EXPECT_EQ(note, "") << row.path;
      } else {
         EXPECT_NE(note.find(row.note), std::string::npos) << row.path << ": " << note;
      }
   }
}

TEST(OutputFormat, RefusesWhatCannotBeWrittenAsAUsageError) {
   const int wavFloat = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
   const std::pair<const char*, const char*> cases[] = {
       {"out", "same"},         // no extension
       {"dir.wav/out", "same"}, // the dot belongs to the folder
       {"out.xyz", "same"},     // unknown container
       {"out.mp3", "pcm16"},    // a lossy container holds its codec only
       {"out.wav", "pcm12"},    // unknown encoding
   };
   for (const auto& [path, encoding] : cases) {
      try {
         chooseOutputFormat(path, wavFloat, encoding);
         ADD_FAILURE() << path << " " << encoding << " was accepted";
      } catch (const ToolError& e) {
         EXPECT_EQ(e.code(), ExitCode::usage) << path;
      }
   }
}

TEST(OutputFormat, DescribesContainerAndEncoding) {
   EXPECT_EQ(describeFormat(SF_FORMAT_WAV | SF_FORMAT_FLOAT), "wav, 32-bit float");
   EXPECT_EQ(describeFormat(SF_FORMAT_PCM_24), "24-bit PCM");
}

} // namespace
} // namespace plughost
