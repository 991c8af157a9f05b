// SPDX-License-Identifier: MIT
// The progress line: it fits any width, a width of 0 included, it draws nothing unless enabled,
// and it leaves the line empty behind it.
#include "tools/hostlib/progress_line.h"

#include <gtest/gtest.h>

#include <sstream>

namespace plughost {
namespace {

TEST(ProgressLine, FitsTheWidth) {
   const std::string long80(100, 'x');
   struct Case {
      std::string text;
      int columns;
      std::string fitted;
   } cases[] = {
       {"12/20 files", 40, "12/20 files"},
       {"12/20 files", 6, "12/20"},
       {"12/20 files", 1, "12/20 files"}, // no room at all: as wide as an unknown terminal
       {long80, 0, std::string(79, 'x')}, // a terminal that reports 0 columns
       {long80, -1, std::string(79, 'x')},
       {"\xC3\xA9t\xC3\xA9 2024", 4, "\xC3\xA9t\xC3\xA9"}, // characters, not bytes
   };
   for (const auto& c : cases)
      EXPECT_EQ(fitLine(c.text, c.columns), c.fitted) << c.text << " in " << c.columns;
}

TEST(ProgressLine, SaysWhereTheRunStands) {
   struct Case {
      ProgressCounts counts;
      std::string text;
   } cases[] = {
       {{0, 20, 0, 0.0, 0.0, -1.0}, "0/20 files, 0.0 s audio"},
       {{5, 20, 0, 300.0, 10.0, -1.0}, "5/20 files, 300.0 s audio, 30x real time, 0:30 left"},
       {{5, 20, 2, 300.0, 10.0, -1.0},
        "5/20 files, 2 failed, 300.0 s audio, 30x real time, 0:30 left"},
       {{0, 1, 0, 60.0, 20.0, 0.25}, "0/1 files, 60.0 s audio, 3x real time, 1:00 left"},
       {{1, 2, 0, 10.0, 4000.0, -1.0}, "1/2 files, 10.0 s audio, 0x real time, 1:06:40 left"},
       {{2, 2, 0, 10.0, 1.0, -1.0}, "2/2 files, 10.0 s audio, 10x real time"},
   };
   for (const auto& c : cases)
      EXPECT_EQ(progressText(c.counts), c.text);
}

TEST(ProgressLine, DrawsInPlaceOnlyWhenEnabledAndErasesItself) {
   std::ostringstream off, on;
   {
      ProgressLine line(off, false, -1, 10);
      line.show("hello", true);
   }
   EXPECT_EQ(off.str(), "");
   {
      ProgressLine line(on, true, -1, 10);
      line.show("1/2 files, 3.0 s", true);
      line.show("too soon: within a tenth of a second");
      line.show("2/2", true);
   }
   EXPECT_EQ(on.str(), "\r1/2 files\033[K\r2/2\033[K\r\033[K");
}

} // namespace
} // namespace plughost
