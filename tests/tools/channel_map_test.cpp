// SPDX-License-Identifier: MIT
// Channel maps: the --map text read back as routing, its errors, and the defaults hosts use.
#include "tools/hostlib/channel_map.h"
#include "tools/hostlib/tool_error.h"

#include <gtest/gtest.h>

namespace plughost {
namespace {

TEST(ChannelMapText, ReadsEveryFormAndWritesItBackCountedFromOne) {
   struct Row {
      const char* text;
      int fileChannels, inputs;
      const char* expected; // the text form read back; null: a usage error
      const char* cause = "";
   };
   const Row rows[] = {
       {"1,1", 1, 2, "1,1"},
       {"L+R", 2, 1, "1+2"},
       {"r, l", 2, 2, "2,1"},
       {"1+3+5,2+4+6", 6, 2, "1+3+5,2+4+6"},
       {"0,2", 2, 2, "0,2"},
       {"1,1,1,1", 1, 4, "1,1,1,1"},
       {"1,3", 2, 2, nullptr, "names channel 3 but 'in.wav' has 2 channels"},
       {"R", 1, 1, nullptr, "names channel 2 but 'in.wav' has 1 channel"},
       {"1", 2, 2, nullptr, "has 1 entry but the plug-in has 2 inputs"},
       {"1,2,1", 2, 2, nullptr, "has 3 entries"},
       {"1,", 2, 2, nullptr, "empty entry"},
       {"1++2", 2, 1, nullptr, "empty entry"},
       {"", 2, 1, nullptr, "empty entry"},
       {"-1", 2, 1, nullptr, "'-1' is not a channel"},
       {"x", 2, 1, nullptr, "'x' is not a channel"},
       {"99999999999", 2, 1, nullptr, "is not a channel"},
   };
   for (const Row& row : rows) {
      try {
         const ChannelMap map = parseChannelMap(row.text, row.fileChannels, row.inputs, "in.wav");
         EXPECT_STREQ(map.text().c_str(), row.expected) << row.text;
      } catch (const ToolError& e) {
         EXPECT_EQ(row.expected, nullptr) << row.text << ": " << e.what();
         EXPECT_EQ(e.code(), ExitCode::usage) << row.text;
         EXPECT_NE(std::string(e.what()).find(row.cause), std::string::npos)
             << row.text << ": " << e.what();
         EXPECT_NE(e.hint().find("--map"), std::string::npos) << row.text;
      }
   }
}

TEST(ChannelMapDefault, RoutesLikeAHostAndNeverDownmixesSilently) {
   struct Row {
      int fileChannels, inputs;
      const char* expected;
   };
   const Row rows[] = {
       {2, 2, "1,2"}, {1, 2, "1,1"}, {1, 1, "1"}, {2, 4, "1,2,0,0"}, {0, 2, "0,0"}, {0, 0, ""},
   };
   for (const Row& row : rows) {
      EXPECT_EQ(defaultChannelMap(row.fileChannels, row.inputs, "in.wav").text(), row.expected)
          << row.fileChannels << " into " << row.inputs;
   }
   EXPECT_TRUE(defaultChannelMap(2, 2, "in.wav").isIdentity(2));
   EXPECT_FALSE(defaultChannelMap(1, 2, "in.wav").isIdentity(1));

   // More channels than inputs: the hint shows maps that work, and they do parse.
   const std::pair<int, int> tooMany[] = {{2, 1}, {6, 2}, {3, 1}};
   for (const auto& [fileChannels, inputs] : tooMany) {
      try {
         defaultChannelMap(fileChannels, inputs, "in.wav");
         ADD_FAILURE() << fileChannels << " into " << inputs << " was accepted";
      } catch (const ToolError& e) {
         EXPECT_EQ(e.code(), ExitCode::usage);
         EXPECT_NE(std::string(e.what()).find("'in.wav' has " + std::to_string(fileChannels)),
                   std::string::npos)
             << e.what();
         const std::string hint = e.hint();
         for (size_t at = hint.find("--map "); at != std::string::npos;
              at = hint.find("--map ", at + 1)) {
            const std::string example = hint.substr(at + 6, hint.find(' ', at + 6) - at - 6);
            EXPECT_NO_THROW(parseChannelMap(example, fileChannels, inputs, "in.wav"))
                << example << " from: " << hint;
         }
      }
   }
}

} // namespace
} // namespace plughost
