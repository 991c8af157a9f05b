// SPDX-License-Identifier: MIT
// Reading manifests: quoted CSV fields, line endings and stage prefixes come through as written;
// every malformed manifest is a usage error that names its line, never a crash or a guess.
#include "tools/hostlib/batch_plan.h"
#include "tools/hostlib/tool_error.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace plughost {
namespace {

namespace fs = std::filesystem;

class Manifest : public ::testing::Test {
protected:
   fs::path dir = fs::temp_directory_path() / ("plughost-manifest-" + std::to_string(getpid()));
   void SetUp() override { fs::create_directories(dir); }
   void TearDown() override { fs::remove_all(dir); }
   std::string write(const std::string& name, const std::string& text) const {
      std::ofstream((dir / name).string(), std::ios::binary) << text;
      return (dir / name).string();
   }
};

TEST_F(Manifest, ReadsEachRowsOutputAndSettingsAsWritten) {
   const struct {
      const char* name;
      const char* text;
      std::vector<BatchItem> items;
   } cases[] = {
       {"a.csv",
        "input,output,Left Gain,2:Decay\r\n"
        "x.wav,,0.5,\r\n"
        "\"y, z.flac\",\"sub/y\"\"1\"\".wav\",,0.8\r\n",
        {{"x.wav", "out/x.ogg", {"Left Gain=0.5"}, "manifest line 2"},
         {"y, z.flac", "out/sub/y\"1\".wav", {"2:Decay=0.8"}, "manifest line 3"}}},
       {"b.csv",
        "Gain,input\n-6dB,\"two\nlines.wav\"\n\n-inf,c.wav",
        {{"two\nlines.wav", "out/two\nlines.ogg", {"Gain=-6dB"}, "manifest line 2"},
         {"c.wav", "out/c.ogg", {"Gain=-inf"}, "manifest line 5"}}},
       {"c.json",
        R"([{"input": "d.wav", "params": {"1:Gain": 0.25, "Mode": "Hall"}},
            {"input": "e.wav", "output": "../e.wav"}])",
        {{"d.wav", "out/d.ogg", {"1:Gain=0.25", "Mode=Hall"}, "manifest entry 1"},
         {"e.wav", "e.wav", {}, "manifest entry 2"}}},
   };
   for (const auto& c : cases) {
      const auto items = readManifest(write(c.name, c.text), "out", "ogg");
      ASSERT_EQ(items.size(), c.items.size()) << c.name;
      for (size_t i = 0; i < items.size(); ++i) {
         SCOPED_TRACE(std::string(c.name) + " row " + std::to_string(i));
         EXPECT_EQ(items[i].input, c.items[i].input);
         EXPECT_EQ(items[i].output, c.items[i].output);
         EXPECT_EQ(items[i].settings, c.items[i].settings);
         EXPECT_EQ(items[i].origin, c.items[i].origin);
      }
   }
}

TEST_F(Manifest, RefusesWhatItCannotReadAndNamesWhere) {
   const struct {
      const char* name;
      const char* text;
      const char* where;
   } cases[] = {
       {"no-input.csv", "file,Gain\nx.wav,1\n", "line 1"},
       {"short.csv", "input,Gain\nx.wav,1\ny.wav\n", "line 3"},
       {"open.csv", "input\n\"x.wav\n", "line 2"},
       {"empty.csv", "", "line 1"},
       {"header-only.csv", "input,output\n", "line 1"},
       {"blank-input.csv", "input,Gain\n,1\n", "line 2"},
       {"object.json", R"({"input": "x.wav"})", "line 1"},
       {"no-input.json", R"([{"output": "x.wav"}])", "entry 1"},
       {"params.json", R"([{"input": "x.wav", "params": [1, 2]}])", "entry 1"},
       {"cut.json", "[{\"input\": \n", "line 2"},
   };
   for (const auto& c : cases) {
      try {
         readManifest(write(c.name, c.text), "out", "");
         ADD_FAILURE() << c.name << " was accepted";
      } catch (const ToolError& e) {
         EXPECT_EQ(e.code(), ExitCode::usage) << c.name;
         EXPECT_NE(std::string(e.what()).find(c.where), std::string::npos)
             << c.name << ": " << e.what();
      }
   }
}

} // namespace
} // namespace plughost
