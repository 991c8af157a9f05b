// SPDX-License-Identifier: MIT
// plughost process with chains and many files, end to end: chains are bit-exact against their
// stages run one after another, parallel runs write what serial ones do, every file gets fresh
// instances, a file that fails, crashes, hangs or fills the disk fails alone and leaves nothing,
// Ctrl-C leaves no partial file and --skip-existing resumes, the progress line appears only on
// a terminal and fits it, and bad runs are refused before any file is touched.
#include "tests/support/run_plughost.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace plughost {
namespace {

namespace fs = std::filesystem;

class Batch : public ::testing::Test {
protected:
   fs::path dir;

   void SetUp() override {
      dir = fs::temp_directory_path() /
            ("plughost-batch-" + std::to_string(getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
      fs::create_directories(dir);
   }
   void TearDown() override { fs::remove_all(dir); }
   std::string file(const std::string& name) const { return (dir / name).string(); }
   trimwise::testing::PlughostRun plughost(std::vector<std::string> args,
                                           rlim_t limit = RLIM_INFINITY) const {
      args.insert(args.begin(), "process");
      return trimwise::testing::runPlughost(args, {.folder = dir.string(), .fileSizeLimit = limit});
   }
   std::string slurp(const std::string& name) const {
      std::ifstream in(file(name));
      std::stringstream text;
      text << in.rdbuf();
      return text.str();
   }

   // Stereo noise of `frames` frames, different for each seed.
   void writeNoise(const std::string& name, size_t frames, uint32_t seed,
                   int format = SF_FORMAT_WAV | SF_FORMAT_FLOAT) const {
      fs::create_directories(fs::path(file(name)).parent_path());
      std::vector<float> samples(frames * 2);
      for (auto& s : samples) {
         seed = seed * 1664525u + 1013904223u;
         s = static_cast<float>(static_cast<int32_t>(seed)) / 4294967296.0f;
      }
      SF_INFO info{};
      info.samplerate = 48000;
      info.channels = 2;
      info.format = format;
      SNDFILE* f = sf_open(file(name).c_str(), SFM_WRITE, &info);
      ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
      sf_writef_float(f, samples.data(), static_cast<sf_count_t>(frames));
      sf_close(f);
   }
   // The samples of a file as the bytes of 64-bit floats, with its format and rate in front: equal
   // for two files exactly when they hold the same audio in the same format (a float WAV's
   // header holds the time it was written, so the files themselves may differ).
   std::string audio(const std::string& name) const {
      SF_INFO info{};
      SNDFILE* f = sf_open(file(name).c_str(), SFM_READ, &info);
      if (!f) return "unreadable " + name;
      std::vector<double> samples(static_cast<size_t>(info.frames * info.channels));
      sf_readf_double(f, samples.data(), info.frames);
      sf_close(f);
      return std::to_string(info.format) + "/" + std::to_string(info.samplerate) + "/" +
             std::to_string(info.channels) + ":" +
             std::string(reinterpret_cast<const char*>(samples.data()),
                         samples.size() * sizeof(double));
   }
   bool sameAudio(const std::string& a, const std::string& b) const { return audio(a) == audio(b); }
   // Every file below `folder`, hidden ones (temporary outputs) included.
   std::vector<std::string> tree(const std::string& folder) const {
      std::vector<std::string> names;
      std::error_code error;
      for (auto it = fs::recursive_directory_iterator(file(folder), error);
           it != fs::recursive_directory_iterator(); ++it) {
         if (it->is_regular_file()) names.push_back(it->path().lexically_relative(dir).string());
      }
      std::sort(names.begin(), names.end());
      return names;
   }
   void writeText(const std::string& name, const std::string& text) const {
      std::ofstream(file(name)) << text;
   }
};

std::vector<std::string> lines(const std::string& text) {
   std::vector<std::string> all;
   std::string line;
   for (std::istringstream in(text); std::getline(in, line);)
      all.push_back(line);
   return all;
}

TEST_F(Batch, ChainsAreBitExactAgainstTheirStagesRunOneAfterAnother) {
   writeNoise("in.wav", 20000, 1);
   struct Row {
      std::vector<std::string> chained;               // process arguments after the chain
      std::vector<std::vector<std::string>> oneByOne; // the same, one stage per run
   } rows[] = {
       {{"-p", "Left Gain=-6dB", "-p", "2:Right Gain=0.3", "-b", "100"},
        {{"-p", "Left Gain=-6dB", "-b", "100"}, {"-p", "Right Gain=0.3", "-b", "100"}}},
       {{"-p", "1:Left Gain=0.9", "-p", "2:Left Gain=0.7", "--precision", "64"},
        // 64-bit samples pass between the stages of a chain; between files they need -e double.
        {{"-p", "Left Gain=0.9", "--precision", "64", "-e", "double"},
         {"-p", "Left Gain=0.7", "--precision", "64", "-e", "float"}}},
   };
   for (const auto& row : rows) {
      std::vector<std::string> args{
          "-P", TRIMWISE_PLUGIN_PATH, "-P",         TRIMWISE_PLUGIN_PATH, "in.wav",
          "-o", "chained.wav",        "--overwrite"};
      args.insert(args.end(), row.chained.begin(), row.chained.end());
      const auto chained = plughost(args);
      ASSERT_EQ(chained.code, 0) << chained.err;
      EXPECT_NE(chained.out.find("stage 2"), std::string::npos) << chained.out;
      std::string from = "in.wav";
      for (size_t k = 0; k < row.oneByOne.size(); ++k) {
         const std::string to = "stage" + std::to_string(k) + ".wav";
         std::vector<std::string> one{TRIMWISE_PLUGIN_PATH, from, "-o", to, "--overwrite"};
         one.insert(one.end(), row.oneByOne[k].begin(), row.oneByOne[k].end());
         ASSERT_EQ(plughost(one).code, 0);
         from = to;
      }
      EXPECT_TRUE(sameAudio("chained.wav", from)) << row.chained[1];
   }
   // A stage that takes no audio cannot follow another, and a stage prefix must exist.
   const auto instrument =
       plughost({"-P", TRIMWISE_PLUGIN_PATH, "-P", FAKE_INSTRUMENT_PATH, "in.wav", "-o", "x.wav"});
   EXPECT_EQ(instrument.code, 2);
   EXPECT_NE(instrument.err.find("stage 2 ('Fake') takes no audio"), std::string::npos)
       << instrument.err;
   const auto stage3 = plughost({"-P", TRIMWISE_PLUGIN_PATH, "-P", TRIMWISE_PLUGIN_PATH, "in.wav",
                                 "-o", "x.wav", "-p", "3:Left Gain=0.5"});
   EXPECT_EQ(stage3.code, 2);
   EXPECT_NE(stage3.err.find("names stage 3 of a chain of 2"), std::string::npos) << stage3.err;
   EXPECT_FALSE(fs::exists(file("x.wav")));
}

// Folders mirrored, names and containers following the inputs or --ext, and the same bytes
// whether one worker or three wrote them.
TEST_F(Batch, ParallelRunsWriteWhatSerialRunsWrite) {
   const char* inputs[] = {"in/a.wav", "in/b.flac", "in/sub/c.wav", "in/sub/deep/d.aiff",
                           "in/e.wav"};
   const int formats[] = {SF_FORMAT_WAV | SF_FORMAT_FLOAT, SF_FORMAT_FLAC | SF_FORMAT_PCM_24,
                          SF_FORMAT_WAV | SF_FORMAT_PCM_16, SF_FORMAT_AIFF | SF_FORMAT_PCM_24,
                          SF_FORMAT_WAV | SF_FORMAT_FLOAT};
   for (size_t i = 0; i < std::size(inputs); ++i)
      writeNoise(inputs[i], 30000 + 1000 * i, static_cast<uint32_t>(i + 7), formats[i]);
   writeText("in/notes.txt", "not audio: not read");
   for (const char* jobs : {"1", "3"}) {
      const auto run = plughost({TRIMWISE_PLUGIN_PATH, "-i", "in", "-r", "-O",
                                 std::string("out") + jobs, "-j", jobs, "-p", "Left Gain=-3dB"});
      ASSERT_EQ(run.code, 0) << run.err;
   }
   EXPECT_EQ(tree("out1"), (std::vector<std::string>{"out1/a.wav", "out1/b.flac", "out1/e.wav",
                                                     "out1/sub/c.wav", "out1/sub/deep/d.aiff"}));
   for (const auto& name : tree("out1")) {
      EXPECT_TRUE(sameAudio(name, "out3" + name.substr(4))) << name;
   }
   // Without -r only the folder's own files; --ext sets the container.
   const auto flat = plughost({TRIMWISE_PLUGIN_PATH, "-i", "in", "-O", "flat", "--ext", "flac",
                               "-e", "pcm24", "--json", "-q"});
   ASSERT_EQ(flat.code, 0) << flat.err;
   EXPECT_EQ(tree("flat"), (std::vector<std::string>{"flat/a.flac", "flat/b.flac", "flat/e.flac"}));
   EXPECT_EQ(lines(flat.out).size(), 4u) << flat.out; // a line per file, then the summary
}

// Every container libsndfile writes, lossy ones in their codec, and a JSON manifest giving
// each file its own output name and gain.
TEST_F(Batch, WritesEveryContainerAndTakesSettingsPerFileFromAJsonManifest) {
   writeNoise("in.wav", 9600, 5);
   writeText("list.json", R"([
      {"input": "in.wav", "output": "a.mp3", "params": {"Left Gain": 0.5}},
      {"input": "in.wav", "output": "b.ogg", "params": {"Left Gain": "-inf"}},
      {"input": "in.wav", "output": "c.opus", "params": {"Left Gain": 0, "Right Gain": 0}},
      {"input": "in.wav", "output": "d.rf64", "params": {"Left Gain": 0.25}},
      {"input": "in.wav", "output": "e.caf"},
      {"input": "in.wav", "output": "f.w64", "params": {"1:Right Gain": 0}}])");
   const auto run = plughost({TRIMWISE_PLUGIN_PATH, "--manifest", "list.json", "-O", "out",
                              "--json", "-p", "Right Gain=0.5"});
   ASSERT_EQ(run.code, 0) << run.err << run.out;
   const struct {
      const char* output;
      int format;
      bool leftSilent, rightSilent;
   } rows[] = {
       {"out/a.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, false, false},
       {"out/b.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, true, false},
       {"out/c.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, true, true}, // after the run's setting
       {"out/d.rf64", SF_FORMAT_RF64 | SF_FORMAT_FLOAT, false, false},
       {"out/e.caf", SF_FORMAT_CAF | SF_FORMAT_FLOAT, false, false},
       {"out/f.w64", SF_FORMAT_W64 | SF_FORMAT_FLOAT, false, true},
   };
   for (const auto& row : rows) {
      SF_INFO info{};
      SNDFILE* f = sf_open(file(row.output).c_str(), SFM_READ, &info);
      ASSERT_NE(f, nullptr) << row.output;
      std::vector<float> samples(static_cast<size_t>(info.frames * 2));
      sf_readf_float(f, samples.data(), info.frames);
      sf_close(f);
      EXPECT_EQ(info.format, row.format) << row.output;
      float peaks[2] = {0, 0};
      for (size_t i = 0; i < samples.size(); ++i)
         peaks[i % 2] = std::max(peaks[i % 2], std::abs(samples[i]));
      // Lossy decoders may leave a trace of noise where the input was silent.
      EXPECT_EQ(peaks[0] < 1e-3f, row.leftSilent) << row.output << " " << peaks[0];
      EXPECT_EQ(peaks[1] < 1e-3f, row.rightSilent) << row.output << " " << peaks[1];
   }
}

// Reverbs keep their tail through suspend and resume: only a new instance per file keeps the
// end of one file out of the start of the next.
TEST_F(Batch, EachFileGetsFreshInstancesSoNoTailCarriesOver) {
   const std::string mverb = "/usr/lib/vst/MVerb-vst.so";
   if (!fs::exists(mverb)) GTEST_SKIP() << "MVerb (dpf-plugins-vst) is not installed";
   writeNoise("in/a.wav", 48000, 3);
   writeNoise("in/b.wav", 24000, 4);
   writeNoise("alone/b.wav", 24000, 4);
   ASSERT_EQ(plughost({mverb, "-i", "in", "-O", "both", "-j", "1"}).code, 0);
   ASSERT_EQ(plughost({mverb, "-i", "alone", "-O", "one", "-j", "1"}).code, 0);
   EXPECT_TRUE(sameAudio("both/b.wav", "one/b.wav"));
}

TEST_F(Batch, AFileThatFailsCrashesOrHangsFailsAloneAndLeavesNothing) {
   for (const char* name : {"a.wav", "b.wav", "c.wav", "d.wav"})
      writeNoise(name, 5000, 11);
   writeText("broken.wav", "RIFF and nothing more");
   // Beta above 0.5 makes the fake hang, above 0.75 crash.
   writeText("list.csv", "input,output,Beta\n"
                         "a.wav,,0.1\n"
                         "b.wav,,0.9\n"
                         "broken.wav,,\n"
                         "c.wav,\"sub/c, renamed.wav\",0.6\n"
                         "d.wav,d.flac,0.2\n");
   const auto run = plughost({FAKE_MOODY_PATH, "--manifest", "list.csv", "-O", "out", "--timeout",
                              "1", "-j", "2", "--json"});
   EXPECT_EQ(run.code, 1) << run.err;
   EXPECT_EQ(tree("out"), (std::vector<std::string>{"out/a.wav", "out/d.flac"}));
   const struct {
      const char* input;
      const char* status;
      const char* detail;
   } expected[] = {
       {"a.wav", "ok", R"("outputPeaks":[)"},
       {"b.wav", "failed", "crashed: SIGSEGV (invalid memory access) in processReplacing("},
       {"broken.wav", "failed", "cannot read audio file 'broken.wav'"},
       {"c.wav", "failed", "took longer than its limit of 1 s; hung in processReplacing("},
       {"d.wav", "ok", R"("outputFormat":"flac, 24-bit PCM")"},
   };
   const auto all = lines(run.out);
   ASSERT_EQ(all.size(), std::size(expected) + 1) << run.out;
   for (const auto& e : expected) {
      const auto line = std::find_if(all.begin(), all.end(), [&](const std::string& l) {
         return l.find(std::string(R"({"input":")") + e.input) != std::string::npos ||
                l.find(std::string(R"("input":")") + e.input + '"') != std::string::npos;
      });
      ASSERT_NE(line, all.end()) << e.input << "\n" << run.out;
      EXPECT_NE(line->find(std::string(R"("status":")") + e.status), std::string::npos) << *line;
      EXPECT_NE(line->find(e.detail), std::string::npos) << *line;
   }
   EXPECT_NE(all.back().find(R"("failed":3)"), std::string::npos) << all.back();

   // A disk that fills part-way: that file fails with the cause, no partial file stays.
   writeNoise("big.wav", 200000, 5);
   const auto full =
       plughost({TRIMWISE_PLUGIN_PATH, "-i", "a.wav", "big.wav", "-O", "full"}, 200 * 1024);
   EXPECT_EQ(full.code, 1) << full.err;
   EXPECT_NE(full.out.find("failed: big.wav: cannot write"), std::string::npos) << full.out;
   EXPECT_EQ(tree("full"), (std::vector<std::string>{"full/a.wav"}));
}

TEST_F(Batch, BadRunsAreRefusedBeforeAnyFileIsTouched) {
   writeNoise("in/x.wav", 1000, 1);
   writeNoise("other/x.wav", 1000, 2);
   writeText("a-file", "");
   writeText("missing.csv", "input,Left Gain\nin/x.wav,0.5\nin/none.wav,0.5\n");
   writeText("unknown.json", R"([{"input": "in/x.wav", "params": {"Lfet Gain": 0.5}}])");
   writeText("broken.json", "[{\"input\": \"in/x.wav\",\n ]");
   const std::string t = TRIMWISE_PLUGIN_PATH;
   const struct {
      std::vector<std::string> args;
      int code;
      const char* cause;
   } rows[] = {
       {{t, "-i", "in", "-O", "a-file/out"}, 3, "cannot create the output folder 'a-file/out'"},
       {{t, "-i", "in/x.wav", "other/x.wav", "-O", "out"}, 2, "would both be written to"},
       {{t, "-i", "in", "-O", "in"}, 2, "is an input and also the output of"},
       {{"-P", t, "-P", FAKE_CRASHING_PATH, "-i", "in", "-O", "out"}, 4, "crashed while loading"},
       {{t, "--manifest", "missing.csv", "-O", "out"}, 3, "'in/none.wav' (manifest line 3)"},
       {{t, "--manifest", "unknown.json", "-O", "out"}, 2, "(manifest entry 1): "},
       {{t, "--manifest", "broken.json", "-O", "out"}, 2, "manifest 'broken.json' line 2"},
       {{t, "-i", "in/x.wav", "other/x.wav"}, 2, "two input files given"},
   };
   for (const auto& row : rows) {
      const auto run = plughost(row.args);
      SCOPED_TRACE(row.args[2] + " " + row.args.back());
      EXPECT_EQ(run.code, row.code) << run.err;
      EXPECT_NE(run.err.find(row.cause), std::string::npos) << run.err;
      EXPECT_EQ(lines(run.err).size(), 2u) << run.err; // a cause and a hint
      EXPECT_FALSE(fs::exists(file("out"))) << "nothing is written before the run is accepted";
   }
}

// Ctrl-C reaches the whole process group, workers included, while two files are in flight.
TEST_F(Batch, InterruptLeavesNoPartialFileAndSkipExistingResumes) {
   for (const char* name : {"a.wav", "b.wav", "c.wav", "d.wav"})
      writeNoise(name, 4000, 9);
   // b and c hang until interrupted; a is written first.
   writeText("hang.csv", "input,Beta\na.wav,0\nb.wav,0.6\nc.wav,0.6\nd.wav,0\n");
   const std::string out = file(".stdout"), err = file(".stderr");
   const pid_t pid = fork();
   if (pid == 0) {
      setpgid(0, 0);
      if (chdir(dir.c_str()) != 0) _exit(126);
      const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(o, 1);
      dup2(e, 2);
      execl(PLUGHOST_PATH, PLUGHOST_PATH, "process", FAKE_MOODY_PATH, "--manifest", "hang.csv",
            "-O", "out", "-j", "2", "--json", nullptr);
      _exit(127);
   }
   setpgid(pid, pid);
   // Waits for the state, not for a time: a written, b and c begun (their temporary files).
   for (int i = 0; i < 3000; ++i) {
      const auto files = tree("out");
      size_t temporary = 0;
      for (const auto& f : files)
         temporary += f.rfind("out/.", 0) == 0;
      if (temporary == 2 && fs::exists(file("out/a.wav"))) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
   }
   ASSERT_EQ(kill(-pid, SIGINT), 0);
   int status = 0;
   ASSERT_EQ(waitpid(pid, &status, 0), pid);
   ASSERT_TRUE(WIFEXITED(status));
   EXPECT_EQ(WEXITSTATUS(status), 130);
   EXPECT_EQ(tree("out"), (std::vector<std::string>{"out/a.wav"}));
   const std::string record = slurp(".stdout");
   EXPECT_NE(record.find(R"("input":"a.wav","output":"out/a.wav")"), std::string::npos);
   EXPECT_NE(record.find(R"("interrupted":2,"notStarted":1)"), std::string::npos) << record;

   writeText("resume.csv", "input,Beta\na.wav,0\nb.wav,0\nc.wav,0\nd.wav,0\n");
   const auto before = fs::last_write_time(file("out/a.wav"));
   const auto resumed = plughost(
       {FAKE_MOODY_PATH, "--manifest", "resume.csv", "-O", "out", "--skip-existing", "--json"});
   EXPECT_EQ(resumed.code, 0) << resumed.err;
   EXPECT_NE(resumed.out.find(R"("output":"out/a.wav","status":"skipped")"), std::string::npos)
       << resumed.out;
   EXPECT_EQ(tree("out"),
             (std::vector<std::string>{"out/a.wav", "out/b.wav", "out/c.wav", "out/d.wav"}));
   EXPECT_EQ(fs::last_write_time(file("out/a.wav")), before);
}

// Under a pseudo-terminal (script), with standard output redirected inside it: the line is
// drawn on stderr in place and erased, fits the width (a width of 0 included), and never
// appears with --json or --quiet.
TEST_F(Batch, TheProgressLineIsDrawnOnlyOnATerminalAndFitsIt) {
   for (const char* name : {"in/a.wav", "in/b.wav", "in/c.wav"})
      writeNoise(name, 2000, 1);
   const struct {
      const char* columns;
      const char* options;
      bool shown;
   } rows[] = {{"40", "", true}, {"0", "", true}, {"30", "-q", false}, {"30", "--json", false}};
   int n = 0;
   for (const auto& row : rows) {
      const std::string folder = "out" + std::to_string(n++);
      const std::string command = std::string("stty cols ") + row.columns + "; " + PLUGHOST_PATH +
                                  " process " + TRIMWISE_PLUGIN_PATH + " -i in -O " + folder +
                                  " -j 1 " + row.options + " > /dev/null";
      const auto run = trimwise::testing::runProgram(
          {"/usr/bin/script", "-qec", command, "/dev/null"}, {.folder = dir.string()});
      ASSERT_EQ(run.code, 0) << row.columns << row.options << run.out << run.err;
      const std::string& shown = run.out; // what the terminal received
      EXPECT_EQ(shown.find("files") != std::string::npos, row.shown) << shown;
      if (!row.shown) continue;
      EXPECT_NE(shown.find("/3 files"), std::string::npos) << shown;
      EXPECT_NE(shown.rfind("\r\033[K"), std::string::npos) << "erased at the end";
      const size_t width = std::string(row.columns) == "0" ? 80 : std::stoul(row.columns);
      for (size_t at = shown.find('\r'); at != std::string::npos; at = shown.find('\r', at + 1)) {
         if (shown[at + 1] == '\n') continue; // a line break as the terminal sends it
         const size_t end = shown.find("\033[K", at);
         ASSERT_NE(end, std::string::npos);
         EXPECT_LT(end - at - 1, width) << shown.substr(at + 1, end - at - 1);
      }
   }
}

} // namespace
} // namespace plughost
