// SPDX-License-Identifier: MIT
#include "tools/hostlib/progress_line.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace plughost {
namespace {

constexpr int kFallbackColumns = 80;

// "0:36", "12:05", "3:02:10"
std::string clockText(double seconds) {
   const auto total = static_cast<long long>(std::llround(std::max(seconds, 0.0)));
   char text[32];
   if (total >= 3600) {
      std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                    total % 60);
   } else {
      std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
   }
   return text;
}

} // namespace

int terminalColumns(int fd) {
   winsize size{};
   if (fd < 0 || !isatty(fd) || ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
   return size.ws_col;
}

std::string fitLine(const std::string& text, int columns) {
   const size_t room = static_cast<size_t>(columns > 1 ? columns - 1 : kFallbackColumns - 1);
   size_t characters = 0;
   for (size_t i = 0; i < text.size(); ++i) {
      // A byte that does not continue a UTF-8 sequence starts a character.
      if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && characters++ == room) {
         return text.substr(0, i);
      }
   }
   return text;
}

std::string progressText(const ProgressCounts& c) {
   char text[200];
   int n = std::snprintf(text, sizeof text, "%zu/%zu files", c.done, c.total);
   std::string line(text, static_cast<size_t>(n));
   if (c.failed > 0) line += ", " + std::to_string(c.failed) + " failed";
   n = std::snprintf(text, sizeof text, ", %.1f s audio", c.audioSeconds);
   line.append(text, static_cast<size_t>(n));
   if (c.wallSeconds > 0.0 && c.audioSeconds > 0.0) {
      n = std::snprintf(text, sizeof text, ", %.0fx real time", c.audioSeconds / c.wallSeconds);
      line.append(text, static_cast<size_t>(n));
   }
   const double fraction =
       c.fraction >= 0.0
           ? c.fraction
           : (c.total > 0 ? static_cast<double>(c.done) / static_cast<double>(c.total) : 0.0);
   if (fraction > 0.0 && fraction < 1.0 && c.wallSeconds > 0.0) {
      line += ", " + clockText(c.wallSeconds * (1.0 - fraction) / fraction) + " left";
   }
   return line;
}

ProgressLine::ProgressLine(std::ostream& out, bool enabled, int fd, int columns)
    : out_(out), enabled_(enabled), fd_(fd), columns_(columns) {}

ProgressLine::~ProgressLine() {
   clear();
}

void ProgressLine::show(const std::string& text, bool now) {
   if (!enabled_) return;
   const auto time = Clock::now();
   if (!now &&
       (time - created_ < delay_ || (shown_ && time - drawn_ < std::chrono::milliseconds(100)))) {
      return;
   }
   drawn_ = time;
   shown_ = true;
   const int columns = columns_ > 0 ? columns_ : terminalColumns(fd_);
   // Back to the line's start, the new text, and the rest of the old line erased.
   out_ << '\r' << fitLine(text, columns) << "\033[K" << std::flush;
}

void ProgressLine::clear() {
   if (!shown_) return;
   out_ << "\r\033[K" << std::flush;
   shown_ = false;
}

} // namespace plughost
