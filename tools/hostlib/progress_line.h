// SPDX-License-Identifier: MIT
// One status line that redraws itself in place on a terminal, for long runs. The library never
// draws it on its own: a command creates one for its error stream and feeds it.
#pragma once

#include <chrono>
#include <cstddef>
#include <ostream>
#include <string>

namespace plughost {

// The columns of the terminal on `fd`; 0 if it is none or does not say.
int terminalColumns(int fd);

// `text` cut to fit in `columns` (0 or less: 80) without wrapping: one column is kept free,
// as a character in the last one makes some terminals wrap at once. Counts UTF-8 characters.
std::string fitLine(const std::string& text, int columns);

// Where a run stands, for progressText.
struct ProgressCounts {
   size_t done = 0, total = 0; // files
   size_t failed = 0;
   double audioSeconds = 0.0; // audio processed so far, files in flight included
   double wallSeconds = 0.0;  // since the run began
   // The share of the work done, 0..1, from which the time left is estimated; < 0: from files.
   double fraction = -1.0;
};

// "3/20 files, 1 failed, 184.2 s audio, 41x real time, 0:36 left"
std::string progressText(const ProgressCounts& counts);

class ProgressLine {
public:
   // Draws on `out` only if `enabled`: the caller decides that from whether the stream is a
   // terminal and from its options (--quiet, --json). `columns` as terminalColumns gives it;
   // 0 lets each draw ask the terminal on `fd` (a window can be resized meanwhile).
   ProgressLine(std::ostream& out, bool enabled, int fd = -1, int columns = 0);
   // Erases the line.
   ~ProgressLine();
   ProgressLine(const ProgressLine&) = delete;
   ProgressLine& operator=(const ProgressLine&) = delete;

   // Shows `text` in place of the line before. Without `now`, at most ten redraws a second, and
   // none before `delay` has passed since construction.
   void show(const std::string& text, bool now = false);
   // Erases the line, so that other output can follow; the next show() draws it again.
   void clear();
   void setDelay(std::chrono::milliseconds delay) { delay_ = delay; }
   bool enabled() const { return enabled_; }

private:
   using Clock = std::chrono::steady_clock;
   std::ostream& out_;
   bool enabled_;
   int fd_;
   int columns_;
   bool shown_ = false;
   std::chrono::milliseconds delay_{0};
   Clock::time_point created_ = Clock::now();
   Clock::time_point drawn_{};
};

} // namespace plughost
