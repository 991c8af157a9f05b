// SPDX-License-Identifier: MIT
#include "tools/hostlib/render.h"

#include "tools/hostlib/tool_error.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace plughost {
namespace {

// File I/O works in chunks of about this many frames whatever the plug-in's block size: large
// enough that the per-call costs of decoding and writing vanish, small enough that a chunk of
// every buffer stays in the processor's caches.
constexpr size_t kChunkTarget = 8192;

// Copies (or, with `add`, adds) channel `channel` of interleaved frames into `out`. The stride
// is a template argument for the usual cases so that the compiler can vectorise the loop.
template <size_t Stride, bool Add, class Sample>
void gather(const Sample* in, size_t stride, size_t channel, Sample* out, size_t frames) {
   const size_t step = Stride ? Stride : stride;
   const Sample* from = in + channel;
   for (size_t i = 0; i < frames; ++i) {
      if constexpr (Add) {
         out[i] += from[i * step];
      } else {
         out[i] = from[i * step];
      }
   }
}

template <bool Add, class Sample>
void gatherChannel(const Sample* in, size_t stride, size_t channel, Sample* out, size_t frames) {
   switch (stride) {
   case 1:
      return gather<1, Add>(in, stride, channel, out, frames);
   case 2:
      return gather<2, Add>(in, stride, channel, out, frames);
   default:
      return gather<0, Add>(in, stride, channel, out, frames);
   }
}

template <class Sample>
void interleave(Sample* const* planar, size_t channels, size_t frames, Sample* out) {
   if (channels == 1) {
      std::memcpy(out, planar[0], frames * sizeof(Sample));
   } else if (channels == 2) {
      const Sample* left = planar[0];
      const Sample* right = planar[1];
      for (size_t i = 0; i < frames; ++i) {
         out[2 * i] = left[i];
         out[2 * i + 1] = right[i];
      }
   } else {
      for (size_t c = 0; c < channels; ++c) {
         const Sample* from = planar[c];
         for (size_t i = 0; i < frames; ++i)
            out[i * channels + c] = from[i];
      }
   }
}

} // namespace

template <class Sample>
StreamRenderer<Sample>::StreamRenderer(PluginInstance& instance, ChannelMap map, int fileChannels,
                                       int32_t blockSize)
    : instance_(instance), map_(std::move(map)), fileChannels_(fileChannels),
      inputs_(std::max(instance.record().numInputs, 0)),
      outputs_(std::max(instance.record().numOutputs, 0)) {
   if constexpr (std::is_same_v<Sample, double>) {
      if (!instance.canProcessDouble()) {
         throw NoDoublePrecision(ExitCode::usage, "the plug-in does not process 64-bit audio",
                                 "process with 32-bit samples instead");
      }
   }
   if (blockSize <= 0) {
      throw ToolError(ExitCode::usage, "block size " + std::to_string(blockSize) + " is too small",
                      "give a block size of at least 1 frame");
   }
   if (static_cast<int>(map_.inputs.size()) != inputs_) {
      throw ToolError(ExitCode::usage,
                      "the channel map has " + std::to_string(map_.inputs.size()) +
                          " entries but the plug-in takes " + std::to_string(inputs_),
                      "give one entry per plug-in input");
   }
   for (const auto& terms : map_.inputs) {
      for (const int c : terms) {
         if (c < 0 || c >= fileChannels_) {
            throw ToolError(ExitCode::usage,
                            "the channel map names channel " + std::to_string(c + 1) + " of " +
                                std::to_string(fileChannels_),
                            "name only channels the signal has");
         }
      }
   }
   block_ = static_cast<size_t>(blockSize);
   chunk_ = block_ * std::max<size_t>(1, kChunkTarget / block_);
   const auto inputs = static_cast<size_t>(inputs_);
   const auto outputs = static_cast<size_t>(outputs_);
   inPlanar_.resize(inputs * chunk_);
   outPlanar_.resize(outputs * chunk_);
   outInterleaved_.resize(outputs * chunk_);
   // The pointer arrays are never empty, so that an instance without inputs or outputs still
   // receives valid array addresses.
   inPointers_.assign(std::max<size_t>(inputs, 1), nullptr);
   outPointers_.assign(std::max<size_t>(outputs, 1), nullptr);
   inMeters_.resize(inputs);
   outMeters_.resize(outputs);
}

template <class Sample>
void StreamRenderer<Sample>::sendEvents(int64_t blockStart, size_t frames) {
   const auto& events = sequence_->events;
   const int64_t blockEnd = blockStart + static_cast<int64_t>(frames);
   size_t end = nextEvent_;
   while (end < events.size() && events[end].frame < blockEnd)
      ++end;
   if (end == nextEvent_) return;
   const size_t count = end - nextEvent_;
   midi_.assign(count, VstMidiEvent{});
   // The list is a count and a reserved word followed by as many event pointers as needed.
   eventList_.assign(offsetof(VstEvents, events) + count * sizeof(VstEvent*), 0);
   auto* list = reinterpret_cast<VstEvents*>(eventList_.data());
   list->numEvents = static_cast<int32_t>(count);
   for (size_t i = 0; i < count; ++i) {
      const MidiEventAt& e = events[nextEvent_ + i];
      VstMidiEvent& m = midi_[i];
      m.type = kVstMidiType;
      m.byteSize = static_cast<int32_t>(sizeof(VstMidiEvent));
      m.deltaFrames = static_cast<int32_t>(std::max<int64_t>(e.frame - blockStart, 0));
      for (int b = 0; b < e.size; ++b)
         m.midiData[b] = static_cast<char>(e.bytes[b]);
      VstEvent* pointer = reinterpret_cast<VstEvent*>(&m);
      std::memcpy(eventList_.data() + offsetof(VstEvents, events) + i * sizeof(VstEvent*), &pointer,
                  sizeof pointer);
   }
   instance_.sendEvents(*list);
   eventsSent_ += count;
   nextEvent_ = end;
}

template <class Sample>
const Sample* StreamRenderer<Sample>::process(const Sample* in, size_t frames) {
   frames = std::min(frames, chunk_);
   const auto inputs = static_cast<size_t>(inputs_);
   const auto outputs = static_cast<size_t>(outputs_);
   const auto stride = static_cast<size_t>(fileChannels_);
   for (size_t c = 0; c < inputs; ++c) {
      Sample* to = inPlanar_.data() + c * chunk_;
      const auto& terms = map_.inputs[c];
      if (terms.empty()) {
         std::fill_n(to, frames, Sample(0));
      } else {
         gatherChannel<false>(in, stride, static_cast<size_t>(terms[0]), to, frames);
         for (size_t t = 1; t < terms.size(); ++t)
            gatherChannel<true>(in, stride, static_cast<size_t>(terms[t]), to, frames);
      }
      inMeters_[c].add(to, frames);
   }
   for (size_t done = 0; done < frames;) {
      size_t n = std::min(block_, frames - done);
      if (sequence_) {
         // A tempo change splits the block, so that the time information the instance asks
         // for is right for every frame.
         const auto& tempos = sequence_->tempos;
         while (nextTempo_ < tempos.size() && tempos[nextTempo_].frame <= position_)
            instance_.setTempo(tempos[nextTempo_++].bpm);
         if (nextTempo_ < tempos.size()) {
            n = std::min(n, static_cast<size_t>(tempos[nextTempo_].frame - position_));
         }
         sendEvents(position_, n);
      }
      for (size_t c = 0; c < inputs; ++c)
         inPointers_[c] = inPlanar_.data() + c * chunk_ + done;
      for (size_t c = 0; c < outputs; ++c)
         outPointers_[c] = outPlanar_.data() + c * chunk_ + done;
      instance_.process(inPointers_.data(), outPointers_.data(), static_cast<int32_t>(n));
      position_ += static_cast<int64_t>(n);
      done += n;
   }
   for (size_t c = 0; c < outputs; ++c) {
      outPointers_[c] = outPlanar_.data() + c * chunk_;
      outMeters_[c].add(outPointers_[c], frames);
   }
   if (outputs > 0) interleave(outPointers_.data(), outputs, frames, outInterleaved_.data());
   return outInterleaved_.data();
}

template <class Sample>
std::vector<ChannelLevels> StreamRenderer<Sample>::inputLevels() const {
   std::vector<ChannelLevels> levels;
   for (const auto& m : inMeters_)
      levels.push_back(m.levels());
   return levels;
}

template <class Sample>
std::vector<ChannelLevels> StreamRenderer<Sample>::outputLevels() const {
   std::vector<ChannelLevels> levels;
   for (const auto& m : outMeters_)
      levels.push_back(m.levels());
   return levels;
}

template class StreamRenderer<float>;
template class StreamRenderer<double>;

template <class Sample>
PlanarAudio<Sample> render(PluginInstance& instance, const PlanarAudio<Sample>& input,
                           int32_t blockSize, const RenderProgress& progress) {
   const auto inputs = static_cast<size_t>(std::max(instance.record().numInputs, 0));
   if (input.channels.size() != inputs) {
      throw ToolError(ExitCode::usage,
                      "the signal has " + std::to_string(input.channels.size()) +
                          " channels but the plug-in takes " + std::to_string(inputs),
                      "give an audio file with as many channels as the plug-in has inputs");
   }
   ChannelMap identity;
   for (size_t c = 0; c < inputs; ++c)
      identity.inputs.push_back({static_cast<int>(c)});
   StreamRenderer<Sample> renderer(instance, identity, static_cast<int>(inputs), blockSize);
   const size_t total = input.frames();
   const auto outputs = static_cast<size_t>(renderer.outputs());
   const size_t chunk = renderer.chunkFrames();
   PlanarAudio<Sample> output(outputs, total);
   std::vector<Sample> interleaved(chunk * inputs);
   for (size_t done = 0; done < total;) {
      const size_t n = std::min(chunk, total - done);
      for (size_t f = 0; f < n; ++f) {
         for (size_t c = 0; c < inputs; ++c)
            interleaved[f * inputs + c] = input.channels[c][done + f];
      }
      const Sample* out = renderer.process(interleaved.data(), n);
      for (size_t f = 0; f < n; ++f) {
         for (size_t c = 0; c < outputs; ++c)
            output.channels[c][done + f] = out[f * outputs + c];
      }
      done += n;
      if (progress) progress(done, total);
   }
   return output;
}

template PlanarAudio<float> render<float>(PluginInstance&, const PlanarAudio<float>&, int32_t,
                                          const RenderProgress&);
template PlanarAudio<double> render<double>(PluginInstance&, const PlanarAudio<double>&, int32_t,
                                            const RenderProgress&);

} // namespace plughost
