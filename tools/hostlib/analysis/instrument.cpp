// SPDX-License-Identifier: MIT
// Instruments: a short sequence of notes, and the spectrum, level and peak of what it plays.
#include "tools/hostlib/analysis/measure_util.h"
#include "tools/hostlib/analysis/measurements.h"

#include <cmath>
#include <limits>
#include <numbers>

namespace trimwise::host::analysis {

namespace {

const unsigned char kNotes[] = {60, 64, 67, 72};
constexpr unsigned char kVelocity = 100;
constexpr double kNoteSeconds = 0.3, kGapSeconds = 0.05, kReleaseSeconds = 0.5;
constexpr int kPointsPerOctave = 24;

} // namespace

Json measureInstrument(Device& device, const AnalysisOptions& options) {
   if (!device.isInstrument())
      return Json{{"status", "not_applicable"},
                  {"reason", "for instruments: the plug-in is an effect"}};
   if (device.outputs() == 0)
      return Json{{"status", "not_applicable"}, {"reason", "the plug-in has no audio output"}};
   const double fs = device.sampleRate();
   const auto noteFrames = int64_t(kNoteSeconds * fs), gapFrames = int64_t(kGapSeconds * fs);
   std::vector<MidiEvent> events;
   int64_t at = 0;
   for (unsigned char note : kNotes) {
      events.push_back({at, {0x90, note, kVelocity}});
      events.push_back({at + noteFrames, {0x80, note, 0}});
      at += noteFrames + gapFrames;
   }
   const auto frames = wholeBlocks(size_t(at + int64_t(kReleaseSeconds * fs)), options);
   device.reset();
   const auto out = device.playNotes(events, frames, "four notes from C4");

   double power = 0, peak = 0;
   for (const auto& channel : out) {
      const double r = rms(channel);
      power += r * r;
      for (double v : channel)
         peak = std::max(peak, std::abs(v));
   }
   Json section = {{"status", "ok"}};
   section["notes"] = std::vector<int>(std::begin(kNotes), std::end(kNotes));
   section["velocity"] = kVelocity;
   section["seconds"] = double(frames) / fs;
   const char* silent = "the instrument made no sound";
   putNumber(section, "level_dbfs", rmsToDbfs(std::sqrt(power / double(out.size()))), silent);
   putNumber(section, "peak_dbfs", amplitudeToDb(peak), silent);

   // The spectrum of the whole sequence through a Hann window, as the level of a sine on each
   // bin, read as the loudest bin within half a step of each point of a log grid.
   size_t n = 1;
   while (n < frames)
      n *= 2;
   std::vector<double> window(frames);
   double windowSum = 0;
   for (size_t i = 0; i < frames; ++i) {
      window[i] = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * double(i) / double(frames));
      windowSum += window[i];
   }
   const auto grid = logFrequencies(20.0, 0.45 * fs, kPointsPerOctave);
   const double halfStep = std::pow(2.0, 0.5 / kPointsPerOctave), df = fs / double(n);
   Json magnitudes = Json::array();
   bool zero = false;
   for (const auto& channel : out) {
      std::vector<double> x(frames);
      for (size_t i = 0; i < frames; ++i)
         x[i] = channel[i] * window[i];
      const auto spectrum = realFft(x, n);
      Json list = Json::array();
      for (double f : grid) {
         auto lo = size_t(std::ceil(f / halfStep / df)), hi = size_t(std::floor(f * halfStep / df));
         if (hi < lo) lo = hi = size_t(std::lround(f / df));
         double loudest = 0;
         for (size_t k = lo; k <= hi && k < spectrum.size(); ++k)
            loudest = std::max(loudest, std::abs(spectrum[k]));
         const double db = amplitudeToDb(2 * loudest / windowSum);
         zero = zero || !std::isfinite(db);
         list.push_back(plughost::jsonNumber(db));
      }
      magnitudes.push_back(std::move(list));
   }
   section["spectrum"] = {{"frequency_hz", grid}, {"magnitude_db", std::move(magnitudes)}};
   if (zero) section["spectrum"]["magnitude_db_reason"] = "null where the output is exactly zero";
   return section;
}

} // namespace trimwise::host::analysis
