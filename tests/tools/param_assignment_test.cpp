// SPDX-License-Identifier: MIT
// Parameter settings from the command line: from the text to the index and host value, and from
// a level in dB to the host value whose display shows it.
#include "tools/hostlib/param_assignment.h"
#include "tools/hostlib/tool_error.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

namespace plughost {
namespace {

const std::vector<std::string> kNames = {"Left Gain", "Right Gain"};

TEST(ParamAssignment, ResolvesIndicesNamesValuesAndLevels) {
   struct Row {
      const char* text;
      int32_t index;
      bool decibels;
      double number; // the host value, or the level
   };
   const Row rows[] = {
       {"0=0.5", 0, false, 0.5},       {"1=1", 1, false, 1.0},
       {"Left Gain=0", 0, false, 0.0}, {"right gain=0.25", 1, false, 0.25},
       {"RIGHT=0.75", 1, false, 0.75}, // the unambiguous start of a name
       {"0=0.1", 0, false, 0.1f},      // the float nearest the text
       {"0=1e-3", 0, false, 0.001f},   {"1=0dB", 1, true, 0.0},
       {"1=-6dB", 1, true, -6.0},      {"1=-20 db", 1, true, -20.0},
       {"1=+3dB", 1, true, 3.0}, // whether the parameter shows it is the plug-in's to say
       {"0=-inf", 0, true, -INFINITY}, {"0=-inf dB", 0, true, -INFINITY},
       {"0=-oo", 0, true, -INFINITY},
   };
   for (const Row& row : rows) {
      const ParamAssignment a = parseAssignment(row.text, kNames);
      EXPECT_EQ(a.index, row.index) << row.text;
      EXPECT_EQ(a.decibels, row.decibels) << row.text;
      if (row.decibels) {
         EXPECT_EQ(a.level, row.number) << row.text;
      } else {
         EXPECT_EQ(a.value, static_cast<float>(row.number)) << row.text;
      }
   }
}

TEST(ParamAssignment, RefusesWhatAHostWouldNotSendAsAUsageError) {
   const char* texts[] = {
       "",       "0.5",   "=0.5",   "0=",    "2=0.5", "-1=0.5", "Gain=0.5", "0=abc",     "a=b=0.5",
       "0=0.5x", "0=1.5", "0=-0.1", "0=nan", "0=dB",  "0=inf",  "0=+inf",   "0=1e999dB",
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

TEST(ParamAssignment, AnAmbiguousStartMatchesNothingAndTheHintListsTheParameters) {
   const std::vector<std::string> names = {"Gain A", "Gain B"};
   EXPECT_THROW(parseAssignment("gain=0.5", names), ToolError);
   EXPECT_EQ(parseAssignment("gain b=0.5", names).index, 1);
   try {
      parseAssignment("Volume=0.5", kNames);
      FAIL();
   } catch (const ToolError& e) {
      EXPECT_EQ(e.hint(), "parameters are 0 \"Left Gain\", 1 \"Right Gain\"");
   }
}

// ---- Levels to host values --------------------------------------------------------------------

std::string fixed(const char* format, double v) {
   char text[32];
   std::snprintf(text, sizeof text, format, v);
   return text;
}

// Displays as plug-ins write them: the gain in dB to five decimals, "-oo" for silence.
std::string gainDisplay(float v) {
   return v <= 0.0f ? "-oo" : fixed("%.5f", 20.0 * std::log10(static_cast<double>(v)));
}
// A fader that maps 0..1 to -60..0 dB in a straight line, one decimal shown.
std::string faderDisplay(float v) {
   return fixed("%.1f", 60.0 * static_cast<double>(v) - 60.0);
}
// The same fader turned round: 0 is 0 dB, 1 is -60 dB.
std::string reversedFaderDisplay(float v) {
   return fixed("%.1f", -60.0 * static_cast<double>(v));
}

TEST(LevelToHostValue, FindsTheValueWhoseDisplayShowsTheLevel) {
   struct Row {
      const char* what;
      std::string (*display)(float);
      double level;
      float expected; // NaN: any value whose display reads as the level
   };
   const Row rows[] = {
       {"gain -6 dB", gainDisplay, -6.0, static_cast<float>(std::pow(10.0, -0.3))},
       {"gain 0 dB is exactly 1", gainDisplay, 0.0, 1.0f},
       {"gain -inf is exactly 0", gainDisplay, -INFINITY, 0.0f},
       {"gain -120 dB", gainDisplay, -120.0, 1e-6f},
       {"fader -6 dB: middle of what shows it", faderDisplay, -6.0, 0.9f},
       {"fader -60 dB is its end", faderDisplay, -60.0, 0.0f},
       {"fader -6.04 dB: nearest shown", faderDisplay, -6.04, NAN},
       {"reversed fader -6 dB", reversedFaderDisplay, -6.0, 0.1f},
   };
   for (const Row& row : rows) {
      const float v =
          hostValueForLevel(row.level, "level", "Gain", [&](float x) { return row.display(x); });
      if (std::isnan(row.expected)) {
         EXPECT_EQ(row.display(v), "-6.0") << row.what;
      } else {
         EXPECT_NEAR(v, row.expected, 1e-6f) << row.what;
         if (row.expected == 0.0f || row.expected == 1.0f) {
            EXPECT_EQ(v, row.expected) << row.what;
         }
      }
      double shown = 0.0;
      ASSERT_TRUE(parseDisplayedLevel(row.display(v), shown)) << row.what;
      if (!std::isnan(row.expected)) {
         EXPECT_EQ(shown, row.level) << row.what;
      }
   }
}

TEST(LevelToHostValue, RefusesLevelsOutsideTheDisplayAndDisplaysThatAreNoLevel) {
   const std::pair<double, std::string (*)(float)> cases[] = {
       {3.0, gainDisplay},
       {-61.0, faderDisplay},
       {1.0, reversedFaderDisplay},
       {-6.0, [](float) { return std::string("loud"); }},
   };
   for (const auto& [level, display] : cases) {
      const auto show = display; // Clang 14 cannot capture a structured binding
      try {
         hostValueForLevel(level, "level", "Gain", [&](float x) { return show(x); });
         ADD_FAILURE() << level << " was accepted";
      } catch (const ToolError& e) {
         EXPECT_EQ(e.code(), ExitCode::usage) << level;
      }
   }
}

TEST(LevelToHostValue, ReadsDisplayTextsAsLevels) {
   const std::pair<const char*, double> texts[] = {
       {"-6.02060", -6.0206}, {" 0.000000 ", 0.0}, {"-oo", -INFINITY}, {"-inf", -INFINITY},
       {"+3", 3.0},           {"-12 dB", -12.0},   {"oo", INFINITY},
   };
   for (const auto& [text, level] : texts) {
      double read = 0.0;
      EXPECT_TRUE(parseDisplayedLevel(text, read)) << text;
      EXPECT_EQ(read, level) << text;
   }
   for (const char* text : {"", "loud", "6 6", "nan", "-"}) {
      double read = 0.0;
      EXPECT_FALSE(parseDisplayedLevel(text, read)) << text;
   }
}

} // namespace
} // namespace plughost
