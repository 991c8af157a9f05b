// Parameter settings from the command line, from the text to the index and float sent.
#include "tools/param_assignment.h"
#include "tools/tool_error.h"

#include <gtest/gtest.h>

#include <cmath>

namespace plughost {
namespace {

const std::vector<std::string> kNames = {"Left Gain", "Right Gain"};

TEST(ParamAssignment, ResolvesIndicesNamesAndLevels) {
   struct Row {
      const char* text;
      int32_t index;
      float value;
   };
   const Row rows[] = {
       {"0=0.5", 0, 0.5f},
       {"1=1", 1, 1.0f},
       {"Left Gain=0", 0, 0.0f},
       {"right gain=0.25", 1, 0.25f},
       {"RIGHT=0.75", 1, 0.75f}, // the unambiguous start of a name
       {"0=0.1", 0, 0.1f},       // the float nearest the text
       {"0=1e-3", 0, 0.001f},
       {"1=0dB", 1, 1.0f},
       {"1=-6dB", 1, static_cast<float>(std::pow(10.0, -6.0 / 20.0))},
       {"1=-20 db", 1, 0.1f},
       {"0=-inf dB", 0, 0.0f},
       {"a=b=0.5", -1, 0.0f}, // the last '=' separates: no parameter "a=b"
   };
   for (const Row& row : rows) {
      if (row.index < 0) {
         EXPECT_THROW(parseAssignment(row.text, kNames), ToolError) << row.text;
         continue;
      }
      const ParamAssignment a = parseAssignment(row.text, kNames);
      EXPECT_EQ(a.index, row.index) << row.text;
      EXPECT_EQ(a.value, row.value) << row.text;
   }
}

TEST(ParamAssignment, RefusesWhatAHostWouldNotSendAsAUsageError) {
   const char* texts[] = {
       "",       "0.5",   "=0.5",   "0=",     "2=0.5", "-1=0.5", "Gain=0.5", "0=abc",
       "0=0.5x", "0=1.5", "0=-0.1", "0=+6dB", "0=3dB", "0=nan",  "0=dB",     "0=inf",
   };
   for (const char* text : texts) {
      try {
         parseAssignment(text, kNames);
         ADD_FAILURE() << "accepted '" << text << "'";
      } catch (const ToolError& e) {
         EXPECT_EQ(e.code(), ExitCode::usage) << text;
         EXPECT_FALSE(e.hint().empty()) << text;
      }
   }
}

TEST(ParamAssignment, AnAmbiguousStartMatchesNothing) {
   const std::vector<std::string> names = {"Gain A", "Gain B"};
   EXPECT_THROW(parseAssignment("gain=0.5", names), ToolError);
   EXPECT_EQ(parseAssignment("gain b=0.5", names).index, 1);
}

TEST(ParamAssignment, TheHintListsTheParameters) {
   try {
      parseAssignment("Volume=0.5", kNames);
      FAIL();
   } catch (const ToolError& e) {
      EXPECT_EQ(e.hint(), "parameters are 0 \"Left Gain\", 1 \"Right Gain\"");
   }
}

} // namespace
} // namespace plughost
