// SPDX-License-Identifier: MIT
// plughost process on real files, end to end: unity gain keeps integer samples bit for bit up
// to full scale, integer outputs clip instead of wrapping and say how often, channels are
// routed as the map says, memory does not grow with the length, and a write that fails leaves
// nothing behind.
#include "tests/sanitizers.h"
#include "tests/support/run_plughost.h"
#include "tools/hostlib/audio_file.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <climits>
#include <filesystem>
#include <set>

namespace plughost {
namespace {

namespace fs = std::filesystem;

class ProcessFiles : public ::testing::Test {
protected:
   fs::path dir;

   void SetUp() override {
      dir = fs::temp_directory_path() /
            ("plughost-stream-" + std::to_string(getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
      fs::create_directories(dir);
   }
   void TearDown() override { fs::remove_all(dir); }
   std::string file(const std::string& name) const { return (dir / name).string(); }
   trimwise::testing::PlughostRun plughost(const std::vector<std::string>& args,
                                           rlim_t limit = RLIM_INFINITY) const {
      return trimwise::testing::runPlughost(args, {.folder = dir.string(), .fileSizeLimit = limit});
   }
   std::set<std::string> files() const {
      std::set<std::string> names;
      for (const auto& entry : fs::directory_iterator(dir))
         names.insert(entry.path().filename().string());
      return names;
   }

   // Writes interleaved 32-bit integers (the top bits are what a 16- or 24-bit file keeps).
   void writeInts(const std::string& name, int format, int channels,
                  const std::vector<int>& samples) const {
      SF_INFO info{};
      info.samplerate = 44100;
      info.channels = channels;
      info.format = format;
      SNDFILE* f = sf_open(file(name).c_str(), SFM_WRITE, &info);
      ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
      sf_writef_int(f, samples.data(), static_cast<sf_count_t>(samples.size()) / channels);
      sf_close(f);
   }
   std::vector<int> readInts(const std::string& name, int& channels) const {
      SF_INFO info{};
      SNDFILE* f = sf_open(file(name).c_str(), SFM_READ, &info);
      if (!f) return {};
      channels = info.channels;
      std::vector<int> samples(static_cast<size_t>(info.frames * info.channels));
      sf_readf_int(f, samples.data(), info.frames);
      sf_close(f);
      return samples;
   }
};

// Full scale both ways, the smallest steps around zero, and a long ramp through every chunk
// boundary; 16-bit values sit in the top 16 bits.
std::vector<int> edgeSamples(int bits) {
   const int step = 1 << (32 - bits);
   std::vector<int> s = {INT_MAX / step * step, INT_MIN, step, -step, 0,
                         INT_MAX / step * step, INT_MIN};
   for (int i = 0; i < 40000; ++i)
      s.push_back(((i * 7919) % (1 << (bits - 1))) * step * (i % 2 ? 1 : -1));
   return s;
}

TEST_F(ProcessFiles, UnityGainKeepsIntegerSamplesBitForBitIncludingFullScale) {
   const std::pair<const char*, int> formats[] = {
       {"a.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},   {"b.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24},
       {"c.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16}, {"d.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
       {"e.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24},
   };
   for (const auto& [name, format] : formats) {
      const int bits = (format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 ? 16 : 24;
      const auto samples = edgeSamples(bits);
      writeInts(name, format, 1, samples);
      for (const char* precision : {"32", "64"}) {
         const std::string out = std::string("out-") + precision + "-" + name;
         const auto run = plughost({"process", TRIMWISE_PLUGIN_PATH, "-i", name, "-o", out,
                                    "--precision", precision, "-b", "333"});
         ASSERT_EQ(run.code, 0) << name << "\n" << run.err;
         EXPECT_EQ(run.out.find("warning"), std::string::npos) << name << "\n" << run.out;
         int channels = 0;
         const auto back = readInts(out, channels);
         EXPECT_EQ(channels, 2) << name << ": the mono file fed both inputs";
         ASSERT_EQ(back.size(), samples.size() * 2) << name;
         for (size_t i = 0; i < samples.size(); ++i) {
            ASSERT_EQ(back[2 * i], samples[i]) << name << " " << precision << " frame " << i;
            ASSERT_EQ(back[2 * i + 1], samples[i]) << name << " " << precision << " frame " << i;
         }
      }
   }
}

// Summing both channels of a full-scale file doubles it: integer outputs stop at full scale
// (a wrapped sample would turn negative), float keeps every value, and only integer outputs
// warn, with the count.
TEST_F(ProcessFiles, IntegerOutputsClipAtFullScaleAndCountWhatTheyClip) {
   std::vector<int> samples;
   for (int i = 0; i < 1000; ++i) {
      const int v = (i % 4 == 0) ? INT_MIN : (i % 4 == 1) ? INT_MAX - 65535 : 1 << 24;
      samples.insert(samples.end(), {v, v});
   }
   writeInts("in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, samples);
   struct Row {
      const char* output;
      const char* encoding;
      bool clips;
   };
   const Row rows[] = {{"o16.wav", "pcm16", true},
                       {"o24.flac", "pcm24", true},
                       {"o32.wav", "pcm32", true},
                       {"of.wav", "float", false}};
   for (const Row& row : rows) {
      const auto run = plughost({"process", TRIMWISE_PLUGIN_PATH, "-i", "in.wav", "-o", row.output,
                                 "-e", row.encoding, "--map", "L+R,1", "--json"});
      ASSERT_EQ(run.code, 0) << row.output << "\n" << run.err;
      // Channel 0 gets 2x: 250 samples of -2.0 and 250 of almost +2.0 are beyond full scale.
      EXPECT_NE(run.out.find(std::string("\"clippedSamples\":") + (row.clips ? "500" : "0")),
                std::string::npos)
          << row.output << "\n"
          << run.out;
      EXPECT_NE(run.out.find(R"("map":"1+2,1")"), std::string::npos) << run.out;
      SF_INFO info{};
      SNDFILE* f = sf_open(file(row.output).c_str(), SFM_READ, &info);
      ASSERT_NE(f, nullptr);
      std::vector<double> back(static_cast<size_t>(info.frames * 2));
      sf_readf_double(f, back.data(), info.frames);
      sf_close(f);
      ASSERT_EQ(back.size(), samples.size());
      EXPECT_EQ(back[0], row.clips ? -1.0 : -2.0) << row.output;
      EXPECT_EQ(back[1], -1.0) << row.output;
      EXPECT_GT(back[2], row.clips ? 0.99 : 1.99) << row.output << ": never wraps";
      EXPECT_LE(back[2], row.clips ? 1.0 : 2.0) << row.output;
   }
   const auto text =
       plughost({"process", TRIMWISE_PLUGIN_PATH, "-i", "in.wav", "-o", "t.wav", "--map", "L+R,R"});
   EXPECT_NE(text.out.find("\nchannel map       1+2,2 (in.wav's channels, one entry per plug-in "
                           "input)\n"),
             std::string::npos)
       << text.out;
   EXPECT_NE(text.out.find("\nwarning: 500 samples beyond full scale clipped in the wav, 16-bit "
                           "PCM output; lower the gain or write -e float\n"),
             std::string::npos)
       << text.out;
   const auto quiet = plughost(
       {"process", TRIMWISE_PLUGIN_PATH, "-i", "in.wav", "-o", "q.wav", "--map", "L+R,R", "-q"});
   EXPECT_EQ(quiet.out, "");
   EXPECT_EQ(quiet.err.rfind("plughost: warning: 500 samples beyond full scale", 0), 0u)
       << quiet.err;
}

// The file streams through fixed buffers: ten times the audio takes no more memory.
TEST_F(ProcessFiles, PeakMemoryDoesNotDependOnTheLength) {
   long peak[2] = {};
   const char* seconds[2] = {"30", "300"};
   for (int i = 0; i < 2; ++i) {
      const auto run = plughost({"process", TRIMWISE_PLUGIN_PATH, "--seconds", seconds[i], "--rate",
                                 "8000", "-o", "out.wav", "--overwrite", "-q"});
      ASSERT_EQ(run.code, 0) << run.err;
      peak[i] = run.peakKilobytes;
   }
   EXPECT_LT(peak[1] - peak[0], 4 * 1024) << peak[0] << " kB then " << peak[1] << " kB";
   if (!kSanitizedAllocator) {
      EXPECT_LT(peak[1], 32 * 1024) << peak[1] << " kB";
   }
   EXPECT_EQ(AudioFileReader(file("out.wav")).info().frames, 300 * 8000);
}

// A write that fails (a size limit gives EFBIG, a full disk ENOSPC; both take the same path)
// is a file error with a hint, and removes the temporary file.
TEST_F(ProcessFiles, AFailedWriteIsAFileErrorAndLeavesNothingBehind) {
   const auto run =
       plughost({"process", TRIMWISE_PLUGIN_PATH, "--seconds", "2", "-o", "big.wav"}, 64 * 1024);
   EXPECT_EQ(run.code, 3) << run.err;
   EXPECT_EQ(run.err, "plughost: error: cannot write audio file 'big.wav': File too large\n"
                      "hint: the file system or a size limit (ulimit -f) allows no larger file; "
                      "write elsewhere with -o\n");
   EXPECT_EQ(files(), std::set<std::string>{});
}

} // namespace
} // namespace plughost
