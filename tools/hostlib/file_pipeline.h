// SPDX-License-Identifier: MIT
// One audio file through a chain of plug-in instances: read, route the file's channels to the
// first stage, process stage after stage, meter, and write, streamed in chunks so memory does
// not grow with the file. Every front end (the command line, batch workers, Python) runs files
// through this one pipeline.
#pragma once

#include "tools/hostlib/audio_file.h"
#include "tools/hostlib/channel_map.h"
#include "tools/hostlib/midi_file.h"
#include "tools/hostlib/output_file.h"
#include "tools/hostlib/plugin_instance.h"
#include "tools/hostlib/render.h"
#include "tools/hostlib/tool_error.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plughost {

// The signal written when there is no input file is 32-bit float WAV unless told otherwise.
constexpr int kTestSignalFormat = 0x010006; // SF_FORMAT_WAV | SF_FORMAT_FLOAT

// Thrown when the first stage is an instrument and no notes were given.
class NeedsNotes : public ToolError {
public:
   using ToolError::ToolError;
};

struct PipelineSettings {
   std::string input;  // empty: the test signal (one sine per input), or silence under notes
   std::string output; // written under a temporary name, renamed once whole
   bool overwrite = false;
   // "same", "pcm16", "pcm24", "pcm32", "float" or "double"; "same" falls back to a lossless
   // encoding where the output container cannot hold the input's (see chooseOutputFormat).
   std::string encoding = "same";
   std::string map;   // the first stage's routing in text form; empty: the default one
   std::string midi;  // a Standard MIDI File played into the first stage
   double tail = 2.0; // seconds rendered after the last MIDI event
   int32_t blockSize = 512;
   int precision = 32;     // 32 or 64-bit samples
   double seconds = 1.0;   // length of the test signal
   int sampleRate = 44100; // sample rate of the test signal
};

// What one stage received and gave.
struct StageReport {
   ChannelMap map;         // from the channels before it to its inputs
   int sourceChannels = 0; // channels of the file or of the stage before
   std::string source;     // the file, "the test signal" or "stage N ('Name')"
   int outputs = 0;
   std::vector<ChannelLevels> inputLevels, outputLevels;
   size_t eventsSent = 0;
};

struct PipelineReport {
   AudioFileInfo input; // the input file; for the test signal its rate and channels
   int outputFormat = 0;
   std::string formatNote; // set when "same" fell back to another encoding, and why
   size_t frames = 0;
   double seconds = 0.0;     // of audio
   double wallSeconds = 0.0; // processing and writing
   uint64_t clipped = 0;     // output samples beyond full scale in an integer encoding
   std::vector<StageReport> stages;
};

// Called after each chunk with the frames done and the total.
using PipelineProgress = std::function<void(size_t done, size_t total)>;

// Opens the input (and the notes) first, so that the caller can create the instances at the
// file's sample rate, and then runs them. Checks all it can before touching the output.
class FilePipeline {
public:
   // Opens the input and the MIDI file, chooses the output format and creates the temporary
   // output file. Throws ToolError(ExitCode::file) for an input that cannot be read or an output
   // that cannot be created, ToolError(ExitCode::usage) for an output format that cannot be.
   explicit FilePipeline(PipelineSettings settings);
   ~FilePipeline();
   FilePipeline(const FilePipeline&) = delete;
   FilePipeline& operator=(const FilePipeline&) = delete;

   // The rate to open the instances at, and the input's layout.
   const AudioFileInfo& input() const { return info_; }
   const std::optional<MidiSequence>& notes() const { return notes_; }
   int outputFormat() const { return format_; }
   const std::string& formatNote() const { return formatNote_; }

   // Checks that the chain fits the input (an instrument first needs notes, each stage takes
   // what the one before gives: a mono output feeds every input, a mismatch is
   // ToolError(ExitCode::usage)), then starts the instances, streams the whole signal through
   // them, stops them, and moves the output into place. The instances stay the caller's.
   PipelineReport run(const std::vector<PluginInstance*>& chain,
                      const PipelineProgress& progress = {});

private:
   template <class Sample>
   PipelineReport process(const std::vector<PluginInstance*>& chain,
                          const PipelineProgress& progress);

   PipelineSettings settings_;
   AudioFileInfo info_;
   std::unique_ptr<AudioFileReader> reader_;
   std::optional<MidiSequence> notes_;
   int format_ = 0;
   std::string formatNote_;
   std::unique_ptr<PendingOutput> output_;
};

} // namespace plughost
