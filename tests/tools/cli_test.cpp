// plughost as a user runs it: exit codes by class, two-line errors, JSON beside the text, and
// audio files processed bit-exactly end to end.
#include "tools/audio_file.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace plughost {
namespace {

struct Outcome {
   int code = -1;
   std::string out, err;
};

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

   // Runs plughost with the arguments, in the test's folder, stdout and stderr captured.
   Outcome plughost(const std::vector<std::string>& args) const {
      const std::string out = file("stdout.txt"), err = file("stderr.txt");
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0644);
      posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0644);
      posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
      std::vector<std::string> all{PLUGHOST_PATH};
      all.insert(all.end(), args.begin(), args.end());
      std::vector<char*> argv;
      for (auto& a : all)
         argv.push_back(a.data());
      argv.push_back(nullptr);
      pid_t pid = 0;
      Outcome run;
      if (posix_spawn(&pid, PLUGHOST_PATH, &actions, nullptr, argv.data(), environ) == 0) {
         int status = 0;
         waitpid(pid, &status, 0);
         run.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      posix_spawn_file_actions_destroy(&actions);
      run.out = slurp(out);
      run.err = slurp(err);
      return run;
   }
};

TEST_F(Cli, HelpFitsAScreenAndNamesTheExitCodes) {
   for (const char* command : {"", "info", "process", "validate"}) {
      std::vector<std::string> args;
      if (*command) args.emplace_back(command);
      args.emplace_back("--help");
      const Outcome run = plughost(args);
      EXPECT_EQ(run.code, 0) << command;
      const auto lines = std::count(run.out.begin(), run.out.end(), '\n');
      EXPECT_LE(lines, 30) << command;
      EXPECT_NE(run.out.find("Exit codes"), std::string::npos) << command;
   }
}

// Every failure prints one line of cause and one of hint, and exits with the code of its class.
TEST_F(Cli, EachErrorHasItsClassAndTwoLines) {
   { std::ofstream existing(file("taken.wav")); }
   struct Row {
      std::vector<std::string> args;
      int code;
      const char* cause;
   };
   const Row rows[] = {
       {{}, 2, "subcommand is required"},
       {{"frobnicate"}, 2, ""},
       {{"info"}, 2, "plugin is required"},
       {{"process", TRIMWISE_PLUGIN_PATH, "-b", "0"}, 2, "--block"},
       {{"info", TRIMWISE_PLUGIN_PATH, "-p", "Volume=0.5"}, 2, "no parameter 'Volume'"},
       {{"info", TRIMWISE_PLUGIN_PATH, "-p", "0=2"}, 2, "outside 0..1"},
       {{"process", TRIMWISE_PLUGIN_PATH, "-o", "taken.wav"}, 2, "exists already"},
       {{"process", TRIMWISE_PLUGIN_PATH, "-o", "out.mp9"}, 2, "extension"},
       {{"process", TRIMWISE_PLUGIN_PATH, "missing.wav", "--rate", "48000"}, 2, "test signal"},
       {{"info", "missing.so"}, 3, "cannot load plug-in 'missing.so'"},
       {{"info", FAKE_NO_ENTRY_PATH}, 3, "exports no plug-in entry point"},
       {{"info", FAKE_REFUSING_PATH}, 3, "returned no plug-in instance"},
       {{"validate", FAKE_BAD_MAGIC_PATH, "--json"}, 1, nullptr}, // faults are output, not errors
       {{"process", TRIMWISE_PLUGIN_PATH, "missing.wav", "-o", "o.wav"}, 4, "cannot read audio"},
       {{"process", TRIMWISE_PLUGIN_PATH, "-o", "no/such/dir/o.wav"}, 4, "cannot write audio"},
   };
   for (const Row& row : rows) {
      std::string command;
      for (const auto& a : row.args)
         command += " " + a;
      const Outcome run = plughost(row.args);
      EXPECT_EQ(run.code, row.code) << command << "\n" << run.err;
      if (!row.cause) continue;
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 2) << command << "\n" << run.err;
      EXPECT_EQ(run.err.rfind("plughost: error: ", 0), 0u) << command << "\n" << run.err;
      EXPECT_NE(run.err.find(row.cause), std::string::npos) << command << "\n" << run.err;
      EXPECT_NE(run.err.find("\nhint: "), std::string::npos) << command << "\n" << run.err;
   }
}

TEST_F(Cli, InfoShowsTheTextsAfterSettingParameters) {
   const Outcome text = plughost({"info", TRIMWISE_PLUGIN_PATH, "-p", "Right Gain=0"});
   ASSERT_EQ(text.code, 0) << text.err;
   EXPECT_NE(text.out.find("Trimwise  (Quillmark, LLC, Bivalor, version 1000)"), std::string::npos);
   EXPECT_NE(text.out.find("'Trmw' (0x54726D77)"), std::string::npos);
   EXPECT_NE(text.out.find("Right Gain  0         -oo"), std::string::npos) << text.out;

   const Outcome json = plughost({"info", TRIMWISE_PLUGIN_PATH, "--json", "-p", "0=0.5"});
   ASSERT_EQ(json.code, 0) << json.err;
   for (const char* part :
        {R"("name":"Trimwise")", R"("uniqueId":1416785271)", R"("flags":{"value":4112,)",
         R"({"index":0,"name":"Left Gain","value":0.5,"display":"-6.02060","label":"dB")",
         R"("program":{"index":0,"name":"Default"})"}) {
      EXPECT_NE(json.out.find(part), std::string::npos) << part << "\n" << json.out;
   }
   EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 1) << "JSON is one line";
}

TEST_F(Cli, ProcessesAFileBitExactly) {
   PlanarAudio<float> input(2, 3000);
   for (size_t i = 0; i < input.frames(); ++i) {
      input.channels[0][i] = static_cast<float>(i % 200) / 100.0f - 1.0f;
      input.channels[1][i] = 0.3f - static_cast<float>(i % 77) / 50.0f;
   }
   writeAudioFile(file("in.wav"), input, 48000, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
   const Outcome run = plughost({"process", TRIMWISE_PLUGIN_PATH, "in.wav", "-o", "out.wav", "-p",
                                 "Left Gain=0.1", "-p", "1=0.25", "-b", "100", "-q"});
   ASSERT_EQ(run.code, 0) << run.err;
   EXPECT_EQ(run.out, "") << "--quiet prints nothing";
   AudioFileInfo info;
   const auto output = readAudioFile<float>(file("out.wav"), info);
   EXPECT_EQ(info.sampleRate, 48000);
   EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
   ASSERT_EQ(output.frames(), input.frames());
   for (size_t i = 0; i < input.frames(); ++i) {
      ASSERT_EQ(output.channels[0][i], input.channels[0][i] * 0.1f) << i;
      ASSERT_EQ(output.channels[1][i], input.channels[1][i] * 0.25f) << i;
   }
}

TEST_F(Cli, ProcessesTheTestSignalIn64BitAndReportsItAsJson) {
   const Outcome run = plughost({"process", TRIMWISE_PLUGIN_PATH, "--precision", "64", "--seconds",
                                 "0.5", "--rate", "8000", "-e", "double", "-p", "0=0", "--json"});
   ASSERT_EQ(run.code, 0) << run.err;
   for (const char* part :
        {R"("input":null)", R"("output":"out.wav")", R"("frames":4000)", R"("precision":64)",
         R"("outputFormat":"wav, 64-bit float")", R"("outputPeaks":[0,0.5])"}) {
      EXPECT_NE(run.out.find(part), std::string::npos) << part << "\n" << run.out;
   }
   AudioFileInfo info;
   const auto output = readAudioFile<double>(file("out.wav"), info);
   EXPECT_EQ(info.sampleRate, 8000);
   EXPECT_EQ(output.frames(), 4000u);
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
