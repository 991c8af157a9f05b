// SPDX-License-Identifier: MIT
// Standard MIDI Files, turned into events at sample frames for a given sample rate.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plughost {

// One short MIDI message (one to three bytes) at a frame from the start.
struct MidiEventAt {
   int64_t frame;
   unsigned char bytes[3];
   int size;
};

// A tempo (and time signature) from a frame on.
struct TempoAt {
   int64_t frame;
   double beat;   // quarter notes from the start to this change
   double bpm;    // quarter notes per minute
   int numerator; // time signature
   int denominator;
};

struct MidiSequence {
   std::vector<MidiEventAt> events; // by frame; the file's order among equal frames
   std::vector<TempoAt> tempos;     // by frame; the first at frame 0
   int64_t endFrame = 0;            // the last event's frame, or the end of the longest track
   size_t skipped = 0;              // system-exclusive and other messages not sent

   // Quarter notes from the start at `frame`, following the tempo map.
   double beatAt(int64_t frame, double sampleRate) const;
};

// Reads a Standard MIDI File of format 0 or 1 and places its channel messages at frames of
// `sampleRate`, tempo changes honoured. Throws ToolError(ExitCode::file) if the file cannot be
// read or is not a MIDI file.
MidiSequence readMidiFile(const std::string& path, double sampleRate);

} // namespace plughost
