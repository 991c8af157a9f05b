// SPDX-License-Identifier: MIT
// Reading and writing audio files for the host: streamed in interleaved blocks, so memory does
// not grow with the file, plus whole-file helpers for small signals and tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

typedef struct sf_private_tag SNDFILE;

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
   int64_t frames = 0;
};

// An audio file open for reading, front to back. Samples come as floating point, full scale
// at +-1; integer encodings convert exactly (a 16- or 24-bit sample is n / 2^15 or n / 2^23).
class AudioFileReader {
public:
   // Throws ToolError(ExitCode::file) if the file cannot be opened or decoded, or if its header
   // promises more audio than the file holds (a file cut short).
   explicit AudioFileReader(const std::string& path);
   ~AudioFileReader();
   AudioFileReader(const AudioFileReader&) = delete;
   AudioFileReader& operator=(const AudioFileReader&) = delete;

   const AudioFileInfo& info() const { return info_; }

   // Reads up to `frames` frames into `interleaved` (frames x channels samples) and returns how
   // many it read: fewer only at the end of the file. Throws ToolError(ExitCode::file) if the
   // file ends before its declared length or cannot be decoded.
   size_t read(float* interleaved, size_t frames);
   size_t read(double* interleaved, size_t frames);

private:
   template <class Sample>
   size_t readFrames(Sample* interleaved, size_t frames);

   std::string path_;
   SNDFILE* file_ = nullptr;
   AudioFileInfo info_;
   int64_t done_ = 0;
};

// An audio file open for writing. Integer encodings (PCM, FLAC) clip samples outside full
// scale rather than wrapping them; floating-point encodings keep every value.
class AudioFileWriter {
public:
   // `name` is the path the user knows the file by, for messages (the file itself may be a
   // temporary one). Throws ToolError(ExitCode::file) if the file cannot be created.
   AudioFileWriter(const std::string& path, int sampleRate, int channels, int format,
                   std::string name = "");
   // Closes the file if close() was not called, ignoring errors.
   ~AudioFileWriter();
   AudioFileWriter(const AudioFileWriter&) = delete;
   AudioFileWriter& operator=(const AudioFileWriter&) = delete;

   // Throws ToolError(ExitCode::file) if the disk is full or the file may grow no larger.
   void write(const float* interleaved, size_t frames);
   void write(const double* interleaved, size_t frames);

   // Completes the header. Throws ToolError(ExitCode::file) on failure.
   void close();

private:
   template <class Sample>
   void writeFrames(const Sample* interleaved, size_t frames);
   [[noreturn]] void fail(int error) const;

   std::string name_;
   SNDFILE* file_ = nullptr;
   int channels_;
};

// Reads a whole file. Throws ToolError(ExitCode::file) if it cannot be read.
template <class Sample>
PlanarAudio<Sample> readAudioFile(const std::string& path, AudioFileInfo& info);

// Writes a whole file in the given format; integer encodings clip samples outside -1..1 rather
// than wrapping them. Throws ToolError(ExitCode::file) if it cannot be written.
template <class Sample>
void writeAudioFile(const std::string& path, const PlanarAudio<Sample>& audio, int sampleRate,
                    int format);

// The format to write `path` in: the container follows the file name's extension, the sample
// encoding is `encoding` ("pcm16", "pcm24", "pcm32", "float", "double") or, for "same", that of
// `inputFormat`. Where the container cannot hold the input's encoding (an MP3 input written as
// WAV), "same" keeps the audio losslessly: 32-bit float, or 24-bit PCM in a container without
// float, and says so in `note`. A lossy container (.ogg, .opus, .mp3) is written in its codec.
// Throws ToolError(ExitCode::usage) for an unknown extension or encoding, or an encoding the
// container cannot hold.
int chooseOutputFormat(const std::string& path, int inputFormat, const std::string& encoding,
                       std::string* note = nullptr);

// The encodings chooseOutputFormat accepts, for help texts.
const std::vector<std::string>& encodingNames();

// True for encodings that hold integers (PCM, FLAC, ...), which clip at full scale; false for
// floating-point ones.
bool isIntegerFormat(int format);

// Peak and RMS level of one channel, as linear factors of full scale, and the number of samples
// beyond full scale (which an integer encoding would clip).
struct ChannelLevels {
   double peak = 0.0;
   double rms = 0.0;
   uint64_t overs = 0;
};

// Measures one channel on the fly, block by block, in a loop written over vectors of four
// lanes: each lane keeps its own maximum, sum of squares and count, so the loop vectorises
// without reordering any floating-point sum, and the lanes are combined only at the end.
class LevelMeter {
public:
   void add(const float* samples, size_t n);
   void add(const double* samples, size_t n);
   ChannelLevels levels() const;

private:
   template <class Sample>
   void accumulate(const Sample* samples, size_t n);

   double peak_ = 0.0;
   double squares_[4] = {};
   uint64_t overs_ = 0;
   uint64_t count_ = 0;
};

template <class Sample>
std::vector<ChannelLevels> measureLevels(const PlanarAudio<Sample>& audio);

// "WAV, 32-bit float" and the like.
std::string describeFormat(int format);

} // namespace plughost
