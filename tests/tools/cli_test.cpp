// SPDX-License-Identifier: MIT
// plughost as a user runs it: exit codes by class, two-line errors that leave no file behind,
// the search path, JSON beside the text, and audio files processed bit-exactly end to end.
#include "tests/support/run_plughost.h"
#include "tools/hostlib/audio_file.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

namespace plughost {
namespace {

using Outcome = trimwise::testing::PlughostRun;

class Cli : public ::testing::Test {
protected:
   std::filesystem::path dir;

   void SetUp() override {
      dir = std::filesystem::temp_directory_path() /
            ("plughost-cli-" + std::to_string(getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
      std::filesystem::create_directories(dir);
   }
   void TearDown() override { std::filesystem::remove_all(dir); }
   std::string file(const char* name) const { return (dir / name).string(); }

   static std::string slurp(const std::string& path) {
      std::ifstream in(path);
      std::stringstream text;
      text << in.rdbuf();
      return text.str();
   }

   // Runs plughost with the arguments, in the test's folder. `env` holds NAME=VALUE entries
   // that replace or extend the environment.
   Outcome plughost(const std::vector<std::string>& args,
                    const std::vector<std::string>& env = {}) const {
      return trimwise::testing::runPlughost(args, {.folder = dir.string(), .env = env});
   }

   // The names in the test's folder.
   std::set<std::string> files() const {
      std::set<std::string> names;
      for (const auto& entry : std::filesystem::directory_iterator(dir)) {
         names.insert(entry.path().filename().string());
      }
      return names;
   }

   // A file of square waves, one per channel, of amplitude 0.5 / (channel + 1).
   void writeSquares(const char* name, int channels, size_t frames, int format) const {
      PlanarAudio<float> audio(static_cast<size_t>(channels), frames);
      for (size_t c = 0; c < audio.channels.size(); ++c) {
         for (size_t i = 0; i < frames; ++i) {
            audio.channels[c][i] = ((i / 50) % 2 ? 0.5f : -0.5f) / static_cast<float>(c + 1);
         }
      }
      writeAudioFile(file(name), audio, 44100, format);
   }
};

std::string joined(const std::vector<std::string>& args) {
   std::string command;
   for (const auto& a : args)
      command += " " + a;
   return command;
}

TEST_F(Cli, HelpFitsAScreenAndNamesTheExitCodes) {
   for (const char* command : {"", "list", "info", "process", "bench", "validate"}) {
      std::vector<std::string> args;
      if (*command) args.emplace_back(command);
      args.emplace_back("--help");
      const Outcome run = plughost(args);
      EXPECT_EQ(run.code, 0) << command;
      const auto lines = std::count(run.out.begin(), run.out.end(), '\n');
      // process has options for chains and for many files too: it may take a taller screen.
      EXPECT_LE(lines, std::string(command) == "process" ? 40 : 30) << command;
      EXPECT_NE(run.out.find("Exit codes"), std::string::npos) << command;
   }
   const Outcome top = plughost({"--help"});
   EXPECT_NE(top.out.find("0 done, 1 failed, 2 usage, 3 file I/O, 4 plug-in could not be loaded"),
             std::string::npos)
       << top.out;
}

// Every failure prints one line of cause and one of hint, exits with the code of its class, and
// leaves the folder as it was: no output, no temporary file, no core dump.
TEST_F(Cli, EachErrorHasItsClassAndTwoLinesAndLeavesNoFileBehind) {
   writeSquares("in.wav", 2, 1000, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
   writeSquares("quad.wav", 4, 1000, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
   writeSquares("cut.wav", 2, 1000, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
   writeSquares("cut.flac", 2, 30000, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
   std::filesystem::resize_file(dir / "cut.wav", 3000);
   std::filesystem::resize_file(dir / "cut.flac", std::filesystem::file_size(dir / "cut.flac") / 2);
   std::ofstream(file("taken.wav")) << "keep me";
   std::ofstream(file("notes.txt")) << "not audio, not a library";
   std::filesystem::create_directory(dir / "folder.wav");
   const std::string plugin = TRIMWISE_PLUGIN_PATH;
   struct Row {
      std::vector<std::string> args;
      int code;
      const char* cause;
   };
   const Row rows[] = {
       // usage
       {{}, 2, "subcommand is required"},
       {{"frobnicate"}, 2, "there is no command 'frobnicate'"},
       {{"info"}, 2, "plugin is required"},
       {{"process", plugin, "-i", "in.wav", "-b", "0"}, 2, "--block-size"},
       {{"process", plugin, "-i", "in.wav", "-p", "Volume=0.5"}, 2, "no parameter 'Volume'"},
       {{"process", plugin, "-i", "in.wav", "-p", "7=0.5"}, 2, "no parameter '7'"},
       {{"process", plugin, "-i", "in.wav", "-p", "0=2"}, 2, "outside 0..1"},
       {{"process", plugin, "-i", "in.wav", "-p", "0=loud"}, 2, "not a parameter value"},
       {{"process", plugin, "-i", "in.wav", "-p", "0=+6dB"}, 2, "cannot show +6dB"},
       {{"process", plugin, "-i", "quad.wav"},
        2,
        "'quad.wav' has 4 channels but the plug-in takes 2"},
       {{"process", plugin, "-i", "in.wav", "--map", "1,3"}, 2, "names channel 3 but 'in.wav' has"},
       {{"process", plugin, "-i", "in.wav", "--map", "L+R"}, 2, "1 entry but the plug-in has 2"},
       {{"process", plugin, "-i", "in.wav", "--map", "1,x"}, 2, "'x' is not a channel"},
       {{"process", plugin, "-i", "in.wav", "--tail", "1"}, 2, "--tail extends the notes"},
       {{"process", plugin, "-o", "out.mp9"}, 2, "extension"},
       {{"process", plugin, "-i", "in.wav", "--rate", "48000"}, 2, "test signal"},
       {{"process", plugin, "in.wav", "-i", "in.wav"}, 2, "two input files"},
       // file I/O
       {{"process", plugin, "-i", "missing.wav"}, 3, "cannot read audio file 'missing.wav'"},
       {{"process", plugin, "-i", "folder.wav"}, 3, "cannot read audio file 'folder.wav'"},
       {{"process", plugin, "-i", "notes.txt"}, 3, "cannot read audio file 'notes.txt'"},
       {{"process", plugin, "-i", "cut.wav"}, 3, "'cut.wav' is shorter than its header says"},
       {{"process", plugin, "-i", "cut.flac"}, 3, "audio file 'cut.flac' ends after"},
       {{"process", plugin, "--midi", "notes.txt"}, 3, "'notes.txt' is not a readable MIDI file"},
       {{"process", plugin, "--midi", "missing.mid"}, 3, "cannot read MIDI file 'missing.mid'"},
       {{"process", plugin, "-i", "in.wav", "-o", "taken.wav"}, 3, "exists already"},
       {{"process", plugin, "-o", "no/such/dir/o.wav"}, 3, "cannot write 'no/such/dir/o.wav'"},
       // the plug-in cannot be loaded
       {{"info", "missing.so"}, 4, "no plug-in 'missing.so'"},
       {{"process", "notes.txt", "-i", "in.wav"}, 4, "cannot load plug-in './notes.txt'"},
       {{"process", FAKE_NO_ENTRY_PATH, "-i", "in.wav"}, 4, "exports no plug-in entry point"},
       {{"process", FAKE_REFUSING_PATH, "-i", "in.wav"}, 4, "returned no plug-in instance"},
       {{"process", FAKE_CRASHING_PATH, "-i", "in.wav"}, 4, "while loading"},
       {{"bench", FAKE_CRASHING_PATH}, 4, "while loading"},
       // failed
       {{"process", FAKE_CRASHING_PROCESS_PATH, "-i", "in.wav"}, 1, "stopped by SIGSEGV"},
       // validation faults are output, not errors
       {{"validate", FAKE_BAD_MAGIC_PATH, "--json"}, 1, nullptr},
   };
   const auto before = files();
   for (const Row& row : rows) {
      const std::string command = joined(row.args);
      const Outcome run = plughost(row.args);
      EXPECT_EQ(run.code, row.code) << command << "\n" << run.err;
      EXPECT_EQ(files(), before) << command;
      if (!row.cause) continue;
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 2) << command << "\n" << run.err;
      EXPECT_EQ(run.err.rfind("plughost: error: ", 0), 0u) << command << "\n" << run.err;
      EXPECT_NE(run.err.find(row.cause), std::string::npos) << command << "\n" << run.err;
      EXPECT_NE(run.err.find("\nhint: "), std::string::npos) << command << "\n" << run.err;
   }
   EXPECT_EQ(slurp(file("taken.wav")), "keep me");
}

TEST_F(Cli, APlugInThatCrashesIsNamedWithTheSignalAndWhatWasGoingOn) {
   const Outcome loading = plughost({"info", FAKE_CRASHING_PATH});
   EXPECT_EQ(loading.code, 4);
   EXPECT_EQ(loading.err, std::string("plughost: error: plug-in '") + FAKE_CRASHING_PATH +
                              "' crashed while loading: SIGSEGV (invalid memory access)\n"
                              "hint: its entry point, open or close command is faulty; nothing "
                              "was processed\n");
   EXPECT_EQ(loading.out, "");

   const Outcome processing = plughost({"process", FAKE_CRASHING_PROCESS_PATH, "-q"});
   EXPECT_EQ(processing.code, 1);
   EXPECT_EQ(processing.err.rfind(std::string("plughost: error: stopped by SIGSEGV (invalid "
                                              "memory access) while processing with '") +
                                      FAKE_CRASHING_PROCESS_PATH + "'\nhint: ",
                                  0),
             0u)
       << processing.err;
   EXPECT_EQ(files(), std::set<std::string>{}) << "the pending output is removed";
}

TEST_F(Cli, InfoShowsIdentityAndParameterTableAfterSettingParameters) {
   const Outcome text = plughost({"info", TRIMWISE_PLUGIN_PATH, "-p", "Right Gain=0"});
   ASSERT_EQ(text.code, 0) << text.err;
   for (const char* line :
        {"\nname            Trimwise\n", "\nvendor          Quillmark, LLC\n",
         "\nproduct         Bivalor\n", "\nvendor version  1000\n",
         "\nunique ID       'Trmw' 1416785271 (0x54726D77)\n", "\ninputs          2\n",
         "\noutputs         2\n", "\nflags           canReplacing, canDoubleReplacing (0x1010)\n",
         "\ncategory        Unknown (0)\n", "\ninterface       2400\n",
         "\nprogram         0 \"Default\" of 1\n",
         "\n  #  name        value   display  label  automatable\n",
         "\n  0  Left Gain       1  0.000000  dB     yes\n",
         "\n  1  Right Gain      0       -oo  dB     yes\n"}) {
      EXPECT_NE(("\n" + text.out).find(line), std::string::npos) << line << "\n" << text.out;
   }

   const Outcome json = plughost({"info", TRIMWISE_PLUGIN_PATH, "--json", "-p", "0=0.5"});
   ASSERT_EQ(json.code, 0) << json.err;
   for (
       const char* part :
       {R"("name":"Trimwise")", R"("uniqueId":1416785271)", R"("uniqueIdText":"'Trmw'")",
        R"("vstVersion":2400)", R"("category":0,"categoryName":"Unknown")",
        R"("flags":{"value":4112,)",
        R"({"index":0,"name":"Left Gain","value":0.5,"display":"-6.02060","label":"dB","automatable":true})",
        R"("program":{"index":0,"name":"Default"})"}) {
      EXPECT_NE(json.out.find(part), std::string::npos) << part << "\n" << json.out;
   }
   EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 1) << "JSON is one line";
}

// A level in dB becomes the host value that displays it, and only where the label is dB.
TEST_F(Cli, LevelsInDecibelsBecomeTheHostValueThatDisplaysThem) {
   const Outcome run = plughost(
       {"info", TRIMWISE_PLUGIN_PATH, "--json", "-p", "Left Gain=-6dB", "-p", "Right Gain=-inf"});
   ASSERT_EQ(run.code, 0) << run.err;
   EXPECT_NE(run.out.find(R"("name":"Left Gain","value":0.5011872,"display":"-6.00000")"),
             std::string::npos)
       << run.out;
   EXPECT_NE(run.out.find(R"("name":"Right Gain","value":0,"display":"-oo")"), std::string::npos)
       << run.out;
   const Outcome unity =
       plughost({"info", TRIMWISE_PLUGIN_PATH, "--json", "-p", "0=0.5", "-p", "0=0dB"});
   EXPECT_NE(unity.out.find(R"("name":"Left Gain","value":1,)"), std::string::npos) << unity.out;

   const Outcome notDecibels = plughost({"info", FAKE_MAIN_ONLY_PATH, "-p", "Alpha=-6dB"});
   EXPECT_EQ(notDecibels.code, 2);
   EXPECT_NE(notDecibels.err.find("'Alpha' is not shown in dB (its label is 'x')"),
             std::string::npos)
       << notDecibels.err;
}

TEST_F(Cli, ProcessesAFileBitExactlyAndSummarisesIt) {
   PlanarAudio<float> input(2, 3000);
   for (size_t i = 0; i < input.frames(); ++i) {
      input.channels[0][i] = static_cast<float>(i % 200) / 100.0f - 1.0f;
      input.channels[1][i] = 0.3f - static_cast<float>(i % 77) / 50.0f;
   }
   writeAudioFile(file("in.wav"), input, 48000, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
   const Outcome quiet = plughost({"process", TRIMWISE_PLUGIN_PATH, "-i", "in.wav", "-o", "out.wav",
                                   "-p", "Left Gain=0.1", "-p", "1=0.25", "-b", "100", "-q"});
   ASSERT_EQ(quiet.code, 0) << quiet.err;
   EXPECT_EQ(quiet.out, "") << "--quiet prints nothing";
   AudioFileInfo info;
   const auto output = readAudioFile<float>(file("out.wav"), info);
   EXPECT_EQ(info.sampleRate, 48000);
   EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
   ASSERT_EQ(output.frames(), input.frames());
   for (size_t i = 0; i < input.frames(); ++i) {
      ASSERT_EQ(output.channels[0][i], input.channels[0][i] * 0.1f) << i;
      ASSERT_EQ(output.channels[1][i], input.channels[1][i] * 0.25f) << i;
   }

   // Square waves of 0.5 and 0.25: peak and RMS are equal, -6.02 and -12.04 dBFS.
   writeSquares("squares.wav", 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
   const Outcome run =
       plughost({"process", TRIMWISE_PLUGIN_PATH, "--input", "squares.wav", "--block-size", "64",
                 "--param", "Left Gain=-6dB", "--param", "Right Gain=0.5", "--overwrite"});
   ASSERT_EQ(run.code, 0) << run.err;
   const std::regex summary("Left Gain = 0.501187 \\(-6.00000 dB\\)\n"
                            "Right Gain = 0.5 \\(-6.02060 dB\\)\n"
                            "input             squares.wav \\(wav, 24-bit PCM\\)\n"
                            "channel map       1,2 \\(channel by channel\\)\n"
                            "output            out.wav \\(wav, 24-bit PCM, 2 channels\\)\n"
                            "frames            44100 at 44100 Hz, 32-bit blocks of 64\n"
                            "audio             1.000 s\n"
                            "wall time         [0-9.]+ m?s\n"
                            "real-time factor  [0-9]+x\n"
                            "\n"
                            "levels in dBFS:\n"
                            "  channel  peak in  peak out  RMS in  RMS out\n"
                            "        0    -6.02    -12.02   -6.02   -12.02\n"
                            "        1   -12.04    -18.06  -12.04   -18.06\n");
   EXPECT_TRUE(std::regex_match(run.out, summary)) << run.out;
   EXPECT_EQ(run.err, "") << "no progress bar when stderr is no terminal";
}

// The output keeps the input's format and frame count, and at unity gain every PCM sample.
TEST_F(Cli, PcmAndFlacFilesRoundTripInFormatAndFrameCount) {
   const std::pair<const char*, int> formats[] = {
       {"pcm16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
       {"pcm24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24},
       {"pcm16.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
       {"pcm24.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
   };
   for (const auto& [name, format] : formats) {
      PlanarAudio<double> input(2, 12345);
      const double step =
          (format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 ? 1.0 / 32768 : 1.0 / 8388608;
      for (size_t i = 0; i < input.frames(); ++i) {
         input.channels[0][i] =
             static_cast<double>(static_cast<int>(i * 7919 % 20001) - 10000) * step;
         input.channels[1][i] = -input.channels[0][i];
      }
      writeAudioFile(file(name), input, 96000, format);
      const std::string out = std::string("out-") + name;
      const Outcome run = plughost({"process", TRIMWISE_PLUGIN_PATH, "-i", name, "-o", out, "-q"});
      ASSERT_EQ(run.code, 0) << name << "\n" << run.err;
      AudioFileInfo info;
      const auto output = readAudioFile<double>(file(out.c_str()), info);
      EXPECT_EQ(info.format, format) << name;
      EXPECT_EQ(info.sampleRate, 96000) << name;
      EXPECT_EQ(info.channels, 2) << name;
      ASSERT_EQ(output.frames(), input.frames()) << name;
      EXPECT_EQ(output.channels, input.channels) << name;
   }
}

TEST_F(Cli, ProcessesTheTestSignalIn64BitAndReportsItAsJson) {
   const Outcome run = plughost({"process", TRIMWISE_PLUGIN_PATH, "--precision", "64", "--seconds",
                                 "0.5", "--rate", "8000", "-e", "double", "-p", "0=0", "--json"});
   ASSERT_EQ(run.code, 0) << run.err;
   for (const char* part :
        {R"("input":null)", R"("output":"out.wav")", R"("frames":4000)", R"("precision":64)",
         R"("outputFormat":"wav, 64-bit float")", R"("outputPeaks":[0,0.5])",
         R"("set":[{"index":0,"name":"Left Gain","value":0,"display":"-oo")",
         R"("realtimeFactor":)"}) {
      EXPECT_NE(run.out.find(part), std::string::npos) << part << "\n" << run.out;
   }
   AudioFileInfo info;
   const auto output = readAudioFile<double>(file("out.wav"), info);
   EXPECT_EQ(info.sampleRate, 8000);
   EXPECT_EQ(output.frames(), 4000u);
   EXPECT_EQ(files(), std::set<std::string>{"out.wav"});
}

// ---- Finding plug-ins -------------------------------------------------------------------------

class SearchPath : public Cli {
protected:
   void SetUp() override {
      Cli::SetUp();
      namespace fs = std::filesystem;
      for (const char* folder : {"first", "home/.vst", "system"})
         fs::create_directories(dir / folder);
      fs::copy_file(TRIMWISE_PLUGIN_PATH, dir / "first" / "Trimwise.so");
      fs::copy_file(FAKE_REFUSING_PATH, dir / "first" / "Refusing.so");
      fs::copy_file(TRIMWISE_PLUGIN_PATH, dir / "home/.vst" / "Trimwise.so");
      std::ofstream(dir / "home/.vst" / "README") << "not a library";
   }
   // The system folders are replaced by one of the test's, so that whatever is installed on
   // the machine running the tests shows nowhere.
   std::vector<std::string> env() const {
      return {"VST_PATH=" + file("first") + "::" + file("absent"), "HOME=" + file("home"),
              "PLUGHOST_SYSTEM_PATH=" + file("system")};
   }
};

// The lines of `text` split into columns at runs of two or more spaces.
std::vector<std::vector<std::string>> rows(const std::string& text) {
   std::vector<std::vector<std::string>> result;
   std::istringstream lines(text);
   for (std::string line; std::getline(lines, line);) {
      std::vector<std::string> cells;
      const std::regex gap(" {2,}");
      for (std::sregex_token_iterator it(line.begin(), line.end(), gap, -1), end; it != end; ++it)
         if (!it->str().empty()) cells.push_back(*it);
      result.push_back(cells);
   }
   return result;
}

TEST_F(SearchPath, ListShowsTheFoldersInOrderAndWhatEachHolds) {
   const Outcome run = plughost({"list"}, env());
   ASSERT_EQ(run.code, 0) << run.err;
   const auto lines = rows(run.out);
   const std::string refusing = file("first/Refusing.so");
   using Row = std::vector<std::string>;
   for (const Row& row : {
            Row{"1", file("first"), "VST_PATH", "1 plug-in"},
            Row{"2", file("absent"), "VST_PATH", "missing"},
            Row{"3", file("home/.vst"), "home", "1 plug-in"},
            Row{"4", file("home/.lxvst"), "home", "missing"},
            Row{"5", file("system"), "system", "0 plug-ins"},
            Row{"Trimwise.so", "Trimwise", "Quillmark, LLC", "'Trmw'", "Unknown", "2", "2", "1"},
            Row{"Trimwise.so", "Trimwise", "Quillmark, LLC", "'Trmw'", "Unknown", "2", "2",
                "3, hidden by 1"},
        }) {
      EXPECT_NE(std::find(lines.begin(), lines.end(), row), lines.end()) << joined(row) << "\n"
                                                                         << run.out;
   }
   EXPECT_NE(run.out.find("\nnot usable:\n  Refusing.so (refused): '" + refusing +
                          "' returned no plug-in instance\n"),
             std::string::npos)
       << run.out;
   EXPECT_EQ(run.out.find("README"), std::string::npos);

   const Outcome json = plughost({"list", "--json"}, env());
   ASSERT_EQ(json.code, 0) << json.err;
   for (const std::string& part :
        {R"({"path":")" + file("absent") + R"(","origin":"VST_PATH","exists":false})",
         R"({"path":")" + file("home/.vst/Trimwise.so") +
             R"(","usable":true,"shadowed":true,"folder":3,)",
         std::string(R"("uniqueId":1416785271,"inputs":2,"outputs":2})")}) {
      EXPECT_NE(json.out.find(part), std::string::npos) << part << "\n" << json.out;
   }
}

// Probes run in children with a time limit: a plug-in that crashes or hangs is listed with why,
// and the others are listed all the same.
TEST_F(SearchPath, APlugInThatCrashesOrHangsWhileProbedIsListedAsSuchWithTheReason) {
   namespace fs = std::filesystem;
   fs::create_directories(dir / "system/faulty");
   fs::copy_file(FAKE_CRASHING_PATH, dir / "system/faulty/Crashing.so");
   fs::copy_file(FAKE_HANGING_PATH, dir / "system/faulty/Hanging.so");
   fs::copy_file(FAKE_ODD_TEXTS_PATH, dir / "system/Odd.so");
   const auto start = std::chrono::steady_clock::now();
   const Outcome run = plughost({"list", "--timeout", "0.5"}, env());
   ASSERT_EQ(run.code, 0) << run.err;
   EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
   for (const std::string& line :
        {"\n  faulty/Crashing.so (crashed): plug-in '" + file("system/faulty/Crashing.so") +
             "' crashed while loading: SIGSEGV",
         "\n  faulty/Hanging.so (hung): plug-in '" + file("system/faulty/Hanging.so") +
             "' did not finish loading within 0.5 seconds\n"}) {
      EXPECT_NE(run.out.find(line), std::string::npos) << line << "\n" << run.out;
   }
   const auto lines = rows(run.out);
   const std::vector<std::string> odd{
       "Odd.so", "Fake \xC2\xB5s\\x01\\xFF", "'Fake'", "Spacializer", "2", "2", "5"};
   EXPECT_NE(std::find(lines.begin(), lines.end(), odd), lines.end()) << run.out;
}

TEST_F(Cli, InfoShowsTextsAsUtf8WithTheRestEscapedAndNoProgramWhereThereAreNone) {
   const Outcome text = plughost({"info", FAKE_ODD_TEXTS_PATH});
   ASSERT_EQ(text.code, 0) << text.err;
   for (const char* line : {"\nname            Fake \xC2\xB5s\\x01\\xFF\n",
                            "\ncategory        Spacializer (5)\n", "\nprogram         none\n"}) {
      EXPECT_NE(("\n" + text.out).find(line), std::string::npos) << line << "\n" << text.out;
   }
   const Outcome json = plughost({"info", FAKE_ODD_TEXTS_PATH, "--json"});
   ASSERT_EQ(json.code, 0) << json.err;
   for (const char* part : {R"("name":"Fake )"
                            "\xC2\xB5"
                            R"(s\\x01\\xFF")",
                            R"("categoryName":"Spacializer")", R"("programs":0,"program":null)"}) {
      EXPECT_NE(json.out.find(part), std::string::npos) << part << "\n" << json.out;
   }
}

TEST_F(SearchPath, ABareNameIsTheFirstMatchOnThePath) {
   for (const char* name : {"Trimwise", "Trimwise.so"}) {
      const Outcome run = plughost({"info", name, "--json"}, env());
      ASSERT_EQ(run.code, 0) << name << "\n" << run.err;
      EXPECT_NE(run.out.find(R"("plugin":")" + file("first/Trimwise.so") + "\""), std::string::npos)
          << run.out;
   }
   const Outcome fromHome =
       plughost({"info", "Trimwise", "--json"},
                {"VST_PATH=", "HOME=" + file("home"), "PLUGHOST_SYSTEM_PATH=" + file("system")});
   EXPECT_NE(fromHome.out.find(R"("plugin":")" + file("home/.vst/Trimwise.so") + "\""),
             std::string::npos)
       << fromHome.out << fromHome.err;

   const Outcome refusing = plughost({"process", "Refusing", "-q"}, env());
   EXPECT_EQ(refusing.code, 4);
   const Outcome missing = plughost({"info", "Nothing"}, env());
   EXPECT_EQ(missing.code, 4);
   EXPECT_NE(missing.err.find("no plug-in 'Nothing' here or in " + file("first") + ", " +
                              file("absent") + ", " + file("home/.vst") + ", " +
                              file("home/.lxvst") + ", " + file("system")),
             std::string::npos)
       << missing.err;
}

// ---- bench ------------------------------------------------------------------------------------

TEST_F(Cli, BenchPrintsARowPerPrecisionBlockSizeAndBufferLayout) {
   const Outcome run = plughost({"bench", TRIMWISE_PLUGIN_PATH, "--seconds", "0.01"});
   ASSERT_EQ(run.code, 0) << run.err;
   const std::regex row("(32|64)-bit +(\\d+)  (in place|out of place) +([0-9.]+) +([0-9.]+) +"
                        "([0-9.]+) +([0-9]+)");
   std::vector<std::string> seen;
   std::istringstream lines(run.out);
   for (std::string line; std::getline(lines, line);) {
      std::smatch m;
      if (!std::regex_match(line, m, row)) continue;
      seen.push_back(m[1].str() + "/" + m[2].str() + "/" + m[3].str());
      EXPECT_GT(std::stod(m[4].str()), 0.0) << line;
      EXPECT_GT(std::stod(m[7].str()), 0.0) << line;
   }
   std::vector<std::string> expected;
   for (const char* precision : {"32", "64"}) {
      for (const char* size : {"64", "512", "4096", "65536"}) {
         for (const char* layout : {"in place", "out of place"})
            expected.push_back(std::string(precision) + "/" + size + "/" + layout);
      }
   }
   EXPECT_EQ(seen, expected) << run.out;

   const Outcome json = plughost(
       {"bench", TRIMWISE_PLUGIN_PATH, "--seconds", "0.01", "--precision", "64", "--json"});
   ASSERT_EQ(json.code, 0) << json.err;
   EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '{'), 1 + 8) << json.out;
   EXPECT_NE(json.out.find(R"({"precision":64,"blockSize":65536,"inPlace":false,"nsPerBlock":)"),
             std::string::npos)
       << json.out;

   const Outcome single = plughost({"bench", FAKE_MAIN_ONLY_PATH, "--precision", "64"});
   EXPECT_EQ(single.code, 2);
   EXPECT_NE(single.err.find("does not process 64-bit audio"), std::string::npos) << single.err;
}

// What validate reports is its own business; here only that its answer reaches the exit code.
TEST_F(Cli, ValidateExitsZeroForThePlugInAndOneForTheFake) {
   const Outcome good = plughost({"validate", TRIMWISE_PLUGIN_PATH});
   EXPECT_EQ(good.code, 0) << good.out << good.err;
   const Outcome bad = plughost({"validate", FAKE_FAULTY_PATH});
   EXPECT_EQ(bad.code, 1) << bad.out << bad.err;
}

} // namespace
} // namespace plughost
