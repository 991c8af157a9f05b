// Reading and writing audio files for the host, as planar buffers of 32-bit or 64-bit samples.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace plughost {

// One vector of samples per channel, all of one length.
template <class Sample>
struct PlanarAudio {
   std::vector<std::vector<Sample>> channels;

   PlanarAudio() = default;
   PlanarAudio(size_t channelCount, size_t frames)
       : channels(channelCount, std::vector<Sample>(frames)) {}
   size_t frames() const { return channels.empty() ? 0 : channels.front().size(); }
};

// What a file holds besides its samples. `format` is a libsndfile format code (container and
// sample encoding).
struct AudioFileInfo {
   int sampleRate = 0;
   int channels = 0;
   int format = 0;
};

// Reads a whole file. Throws ToolError(ExitCode::file) if it cannot be read.
template <class Sample>
PlanarAudio<Sample> readAudioFile(const std::string& path, AudioFileInfo& info);

// Writes a whole file in the given format; PCM encodings clip samples outside -1..1 rather than
// wrapping them. Throws ToolError(ExitCode::file) if it cannot be written.
template <class Sample>
void writeAudioFile(const std::string& path, const PlanarAudio<Sample>& audio, int sampleRate,
                    int format);

// The format to write `path` in: the container follows the file name's extension, the sample
// encoding is `encoding` ("pcm16", "pcm24", "pcm32", "float", "double") or, for "same", that of
// `inputFormat`. Throws ToolError(ExitCode::usage) for an unknown extension or encoding, or a
// combination the container cannot hold.
int chooseOutputFormat(const std::string& path, int inputFormat, const std::string& encoding);

// The encodings chooseOutputFormat accepts, for help texts.
const std::vector<std::string>& encodingNames();

// Peak and RMS level of one channel, as linear factors of full scale.
struct ChannelLevels {
   double peak = 0.0;
   double rms = 0.0;
};

template <class Sample>
std::vector<ChannelLevels> measureLevels(const PlanarAudio<Sample>& audio);

// "WAV, 32-bit float" and the like.
std::string describeFormat(int format);

} // namespace plughost
