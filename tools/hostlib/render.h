// SPDX-License-Identifier: MIT
// Runs signals through a plug-in instance block by block, as a host's audio engine does:
// streamed in chunks of interleaved frames, so memory does not depend on the signal's length.
#pragma once

#include "tools/hostlib/audio_file.h"
#include "tools/hostlib/channel_map.h"
#include "tools/hostlib/midi_file.h"
#include "tools/hostlib/plugin_instance.h"
#include "tools/hostlib/tool_error.h"

#include <cstddef>
#include <functional>
#include <vector>

namespace plughost {

// Thrown when 64-bit processing is asked of an instance that offers only 32 bits.
class NoDoublePrecision : public ToolError {
public:
   using ToolError::ToolError;
};

// Takes interleaved chunks of a file's channels, routes them through a ChannelMap to the
// plug-in's inputs, processes them in plug-in blocks, meters inputs and outputs, and gives back
// interleaved chunks of all of the plug-in's outputs. The block buffers are the host's own and
// are reused for every chunk.
template <class Sample>
class StreamRenderer {
public:
   // `map` has one entry per plug-in input and names channels below `fileChannels`. The
   // instance must be running (start()) and stay alive while the renderer is used. Throws
   // ToolError(ExitCode::usage) for a block size below 1 or a map that does not fit, and
   // NoDoublePrecision for 64-bit samples and an instance without 64-bit processing.
   StreamRenderer(PluginInstance& instance, ChannelMap map, int fileChannels, int32_t blockSize);
   StreamRenderer(const StreamRenderer&) = delete;
   StreamRenderer& operator=(const StreamRenderer&) = delete;

   // The most frames one call to process() takes: a whole number of plug-in blocks, large
   // enough that file I/O works in big pieces whatever the plug-in's block size.
   size_t chunkFrames() const { return chunk_; }
   int outputs() const { return outputs_; }

   // MIDI events to send, sorted by frame, each in the block that holds its frame with its
   // offset into that block; tempo changes to tell the instance from their frame on (a block
   // that holds one is split there). The sequence stays owned by the caller.
   void setSequence(const MidiSequence* sequence) { sequence_ = sequence; }

   // Processes `frames` (at most chunkFrames()) frames of `in`, fileChannels samples per
   // frame (null when there are no file channels), and returns outputs() samples per frame,
   // valid until the next call.
   const Sample* process(const Sample* in, size_t frames);

   // Levels of what each plug-in input received and each output gave, so far.
   std::vector<ChannelLevels> inputLevels() const;
   std::vector<ChannelLevels> outputLevels() const;
   size_t eventsSent() const { return eventsSent_; }

private:
   void sendEvents(int64_t blockStart, size_t frames);

   PluginInstance& instance_;
   ChannelMap map_;
   int fileChannels_;
   int inputs_;
   int outputs_;
   size_t block_;
   size_t chunk_;
   std::vector<Sample> inPlanar_, outPlanar_, outInterleaved_;
   std::vector<Sample*> inPointers_, outPointers_;
   std::vector<LevelMeter> inMeters_, outMeters_;
   const MidiSequence* sequence_ = nullptr;
   size_t nextEvent_ = 0;
   size_t nextTempo_ = 0;
   size_t eventsSent_ = 0;
   std::vector<VstMidiEvent> midi_;
   std::vector<unsigned char> eventList_;
   int64_t position_ = 0;
};

// Called after each block with the frames processed so far and the total.
using RenderProgress = std::function<void(size_t done, size_t total)>;

// Processes `input` (one channel per plug-in input) through the 32-bit or 64-bit replacing
// function according to Sample, in blocks of at most `blockSize` frames, and returns one
// channel per plug-in output. The instance must be running (start()).
template <class Sample>
PlanarAudio<Sample> render(PluginInstance& instance, const PlanarAudio<Sample>& input,
                           int32_t blockSize, const RenderProgress& progress = {});

} // namespace plughost
