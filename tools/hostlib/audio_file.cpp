// SPDX-License-Identifier: MIT
#include "tools/hostlib/audio_file.h"

#include "tools/hostlib/tool_error.h"

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <type_traits>

namespace plughost {
namespace {

struct Encoding {
   const char* name;
   int subtype;
   const char* description;
};

constexpr Encoding kEncodings[] = {
    {"pcm16", SF_FORMAT_PCM_16, "16-bit PCM"},    {"pcm24", SF_FORMAT_PCM_24, "24-bit PCM"},
    {"pcm32", SF_FORMAT_PCM_32, "32-bit PCM"},    {"float", SF_FORMAT_FLOAT, "32-bit float"},
    {"double", SF_FORMAT_DOUBLE, "64-bit float"},
};

// Extensions libsndfile does not list under the name people use.
struct ExtensionAlias {
   const char* extension;
   int major;
};
constexpr ExtensionAlias kExtensionAliases[] = {{"aif", SF_FORMAT_AIFF}, {"aifc", SF_FORMAT_AIFF}};

// Containers that hold one lossy codec, which is then their encoding.
struct Codec {
   const char* extension;
   int format;
   const char* description;
};
constexpr Codec kCodecs[] = {
    {"ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, "Ogg Vorbis"},
    {"oga", SF_FORMAT_OGG | SF_FORMAT_VORBIS, "Ogg Vorbis"},
    {"opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, "Opus"},
    {"mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, "MP3"},
};

std::string lower(std::string text) {
   std::transform(text.begin(), text.end(), text.begin(),
                  [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
   return text;
}

std::string extensionOf(const std::string& path) {
   const auto slash = path.find_last_of('/');
   const auto dot = path.find_last_of('.');
   if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
   return lower(path.substr(dot + 1));
}

int majorFormatFor(const std::string& extension) {
   for (const auto& alias : kExtensionAliases) {
      if (extension == alias.extension) return alias.major;
   }
   int count = 0;
   sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof count);
   for (int i = 0; i < count; ++i) {
      SF_FORMAT_INFO info{};
      info.format = i;
      sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof info);
      if (info.extension && extension == info.extension) return info.format;
   }
   return 0;
}

sf_count_t readInto(SNDFILE* file, float* samples, sf_count_t frames) {
   return sf_readf_float(file, samples, frames);
}
sf_count_t readInto(SNDFILE* file, double* samples, sf_count_t frames) {
   return sf_readf_double(file, samples, frames);
}
sf_count_t writeFrom(SNDFILE* file, const float* samples, sf_count_t frames) {
   return sf_writef_float(file, samples, frames);
}
sf_count_t writeFrom(SNDFILE* file, const double* samples, sf_count_t frames) {
   return sf_writef_double(file, samples, frames);
}

// The whole-file helpers move files in pieces of this many frames.
constexpr size_t kChunkFrames = 8192;

// libsndfile accepts a WAV or AIFF file whose data chunk runs past the end of the file and
// quietly reads what is there; its log then says "data : 288000 (should be 99920)". A file cut
// short must not pass for a shorter recording. Sizes of 2 GiB and more are the placeholders of
// writers that never came back to fill in the size, and are left alone.
bool dataChunkCutShort(SNDFILE* file) {
   char log[4096] = {};
   sf_command(file, SFC_GET_LOG_INFO, log, sizeof log);
   for (const char* line = log; *line;) {
      while (*line == ' ')
         ++line;
      unsigned long long declared = 0, present = 0;
      char name[5] = {};
      if (std::sscanf(line, "%4s : %llu (should be %llu)", name, &declared, &present) == 3 &&
          (std::strcmp(name, "data") == 0 || std::strcmp(name, "SSND") == 0) &&
          present < declared && declared < 0x80000000ull) {
         return true;
      }
      const char* next = std::strchr(line, '\n');
      if (!next) break;
      line = next + 1;
   }
   return false;
}

ToolError damaged(const std::string& path, const std::string& what) {
   return ToolError(ExitCode::file, "audio file '" + path + "' " + what,
                    "the file is damaged or was cut short; nothing was written");
}

} // namespace

AudioFileReader::AudioFileReader(const std::string& path) : path_(path) {
   SF_INFO sfInfo{};
   file_ = sf_open(path.c_str(), SFM_READ, &sfInfo);
   if (!file_) {
      throw ToolError(ExitCode::file,
                      "cannot read audio file '" + path + "': " + sf_strerror(nullptr),
                      "check the path; WAV, AIFF, FLAC, OGG and CAF files can be read");
   }
   info_ = {sfInfo.samplerate, sfInfo.channels, sfInfo.format, sfInfo.frames};
   if (dataChunkCutShort(file_)) {
      sf_close(file_);
      throw damaged(path, "is shorter than its header says");
   }
}

AudioFileReader::~AudioFileReader() {
   sf_close(file_);
}

template <class Sample>
size_t AudioFileReader::readFrames(Sample* interleaved, size_t frames) {
   const auto want = static_cast<sf_count_t>(
       std::min<int64_t>(static_cast<int64_t>(frames), info_.frames - done_));
   sf_count_t got = 0;
   while (got < want) {
      const sf_count_t n =
          readInto(file_, interleaved + static_cast<size_t>(got * info_.channels), want - got);
      if (n <= 0) {
         throw damaged(path_, "ends after " + std::to_string(done_ + got) + " of " +
                                  std::to_string(info_.frames) + " frames");
      }
      got += n;
   }
   done_ += got;
   return static_cast<size_t>(got);
}

size_t AudioFileReader::read(float* interleaved, size_t frames) {
   return readFrames(interleaved, frames);
}
size_t AudioFileReader::read(double* interleaved, size_t frames) {
   return readFrames(interleaved, frames);
}

AudioFileWriter::AudioFileWriter(const std::string& path, int sampleRate, int channels, int format,
                                 std::string name)
    : name_(name.empty() ? path : std::move(name)), channels_(channels) {
   SF_INFO sfInfo{};
   sfInfo.samplerate = sampleRate;
   sfInfo.channels = channels;
   sfInfo.format = format;
   file_ = sf_open(path.c_str(), SFM_WRITE, &sfInfo);
   if (!file_) {
      throw ToolError(ExitCode::file,
                      "cannot write audio file '" + name_ + "': " + sf_strerror(nullptr),
                      "check that the folder exists and is writable");
   }
   sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
}

AudioFileWriter::~AudioFileWriter() {
   if (file_) sf_close(file_);
}

void AudioFileWriter::fail(int error) const {
   std::string cause = error ? std::strerror(error) : sf_strerror(file_);
   std::string hint = "check that the folder is writable";
   if (error == ENOSPC || error == EDQUOT) {
      hint = "free some space on the disk, or write elsewhere with -o";
   } else if (error == EFBIG) {
      hint = "the file system or a size limit (ulimit -f) allows no larger file; "
             "write elsewhere with -o";
   }
   throw ToolError(ExitCode::file, "cannot write audio file '" + name_ + "': " + cause, hint);
}

template <class Sample>
void AudioFileWriter::writeFrames(const Sample* interleaved, size_t frames) {
   errno = 0;
   if (writeFrom(file_, interleaved, static_cast<sf_count_t>(frames)) !=
       static_cast<sf_count_t>(frames)) {
      fail(errno);
   }
}

void AudioFileWriter::write(const float* interleaved, size_t frames) {
   writeFrames(interleaved, frames);
}
void AudioFileWriter::write(const double* interleaved, size_t frames) {
   writeFrames(interleaved, frames);
}

void AudioFileWriter::close() {
   SNDFILE* file = file_;
   file_ = nullptr;
   errno = 0;
   // libsndfile reports a failed header update only through its answer.
   if (sf_close(file) != 0) {
      const int error = errno ? errno : EIO;
      throw ToolError(ExitCode::file,
                      "cannot finish audio file '" + name_ + "': " + std::strerror(error),
                      "check that the disk is not full");
   }
}

template <class Sample>
PlanarAudio<Sample> readAudioFile(const std::string& path, AudioFileInfo& info) {
   AudioFileReader reader(path);
   info = reader.info();
   const auto channels = static_cast<size_t>(info.channels);
   PlanarAudio<Sample> audio(channels, static_cast<size_t>(info.frames));
   std::vector<Sample> interleaved(kChunkFrames * channels);
   for (size_t done = 0; done < audio.frames();) {
      const size_t got = reader.read(interleaved.data(), kChunkFrames);
      for (size_t f = 0; f < got; ++f) {
         for (size_t c = 0; c < channels; ++c)
            audio.channels[c][done + f] = interleaved[f * channels + c];
      }
      done += got;
   }
   return audio;
}

template <class Sample>
void writeAudioFile(const std::string& path, const PlanarAudio<Sample>& audio, int sampleRate,
                    int format) {
   const size_t channels = audio.channels.size();
   AudioFileWriter writer(path, sampleRate, static_cast<int>(channels), format);
   std::vector<Sample> interleaved(kChunkFrames * channels);
   for (size_t done = 0; done < audio.frames();) {
      const size_t n = std::min(kChunkFrames, audio.frames() - done);
      for (size_t f = 0; f < n; ++f) {
         for (size_t c = 0; c < channels; ++c)
            interleaved[f * channels + c] = audio.channels[c][done + f];
      }
      writer.write(interleaved.data(), n);
      done += n;
   }
   writer.close();
}

template PlanarAudio<float> readAudioFile<float>(const std::string&, AudioFileInfo&);
template PlanarAudio<double> readAudioFile<double>(const std::string&, AudioFileInfo&);
template void writeAudioFile<float>(const std::string&, const PlanarAudio<float>&, int, int);
template void writeAudioFile<double>(const std::string&, const PlanarAudio<double>&, int, int);

namespace {

// Vectors of four lanes in the compilers' portable vector extension (SSE or AVX on x86, NEON
// on ARM): the level loop says what each lane does and the compiler picks the instructions.
typedef float FloatLanes __attribute__((vector_size(16)));
typedef int32_t FloatMask __attribute__((vector_size(16)));
typedef double DoubleLanes __attribute__((vector_size(32)));
typedef int64_t DoubleMask __attribute__((vector_size(32)));

template <class Sample>
struct Lanes;
template <>
struct Lanes<float> {
   using Values = FloatLanes;
   using Mask = FloatMask;
};
template <>
struct Lanes<double> {
   using Values = DoubleLanes;
   using Mask = DoubleMask;
};

} // namespace

template <class Sample>
void LevelMeter::accumulate(const Sample* samples, size_t n) {
   using Values = typename Lanes<Sample>::Values;
   using Mask = typename Lanes<Sample>::Mask;
   using Bits = std::remove_reference_t<decltype(Mask{}[0])>;
   constexpr Bits kAbs = std::numeric_limits<Bits>::max(); // every bit but the sign
   const Mask absMask = Mask{} + kAbs;
   const Values fullScale = Values{} + Sample(1);
   Values peak{};
   Mask overs{};
   DoubleLanes squares;
   std::memcpy(&squares, squares_, sizeof squares);
   size_t i = 0;
   for (; i + 4 <= n; i += 4) {
      Values v;
      std::memcpy(&v, samples + i, sizeof v);
      const Values a = reinterpret_cast<Values>(reinterpret_cast<Mask>(v) & absMask);
      const Mask louder = a > peak;
      peak = reinterpret_cast<Values>((reinterpret_cast<Mask>(a) & louder) |
                                      (reinterpret_cast<Mask>(peak) & ~louder));
      const DoubleLanes d = __builtin_convertvector(v, DoubleLanes);
      squares += d * d;
      overs -= a > fullScale; // a true comparison is -1
   }
   std::memcpy(squares_, &squares, sizeof squares);
   for (size_t l = 0; l < 4; ++l) {
      peak_ = std::max(peak_, static_cast<double>(peak[l]));
      overs_ += static_cast<uint64_t>(overs[l]);
   }
   for (size_t l = 0; i < n; ++i, ++l) {
      const double v = static_cast<double>(samples[i]);
      const double a = std::fabs(v);
      peak_ = a > peak_ ? a : peak_;
      squares_[l] += v * v;
      overs_ += a > 1.0 ? 1u : 0u;
   }
   count_ += n;
}

void LevelMeter::add(const float* samples, size_t n) {
   accumulate(samples, n);
}
void LevelMeter::add(const double* samples, size_t n) {
   accumulate(samples, n);
}

ChannelLevels LevelMeter::levels() const {
   ChannelLevels l;
   l.peak = peak_;
   l.overs = overs_;
   const double squares = (squares_[0] + squares_[1]) + (squares_[2] + squares_[3]);
   if (count_ > 0) l.rms = std::sqrt(squares / static_cast<double>(count_));
   return l;
}

template <class Sample>
std::vector<ChannelLevels> measureLevels(const PlanarAudio<Sample>& audio) {
   std::vector<ChannelLevels> levels;
   for (const auto& channel : audio.channels) {
      LevelMeter meter;
      meter.add(channel.data(), channel.size());
      levels.push_back(meter.levels());
   }
   return levels;
}

template std::vector<ChannelLevels> measureLevels<float>(const PlanarAudio<float>&);
template std::vector<ChannelLevels> measureLevels<double>(const PlanarAudio<double>&);

bool isIntegerFormat(int format) {
   switch (format & SF_FORMAT_SUBMASK) {
   case SF_FORMAT_FLOAT:
   case SF_FORMAT_DOUBLE:
   case SF_FORMAT_VORBIS:
   case SF_FORMAT_OPUS:
      return false;
   default:
      return true;
   }
}

int chooseOutputFormat(const std::string& path, int inputFormat, const std::string& encoding,
                       std::string* note) {
   const std::string extension = extensionOf(path);
   const auto* codec = std::find_if(std::begin(kCodecs), std::end(kCodecs),
                                    [&](const Codec& c) { return extension == c.extension; });
   if (codec != std::end(kCodecs)) {
      // A lossy container has one encoding, its codec, whatever the input's was.
      if (encoding != "same") {
         throw ToolError(ExitCode::usage,
                         "a ." + extension + " file holds " + codec->description + " only",
                         "leave out --encoding, or write a lossless container such as .flac");
      }
      return codec->format;
   }
   const int major = majorFormatFor(extension);
   if (major == 0) {
      throw ToolError(ExitCode::usage,
                      "cannot tell the audio format of '" + path + "' from its extension",
                      "name the output file .wav, .flac, .aiff, .caf, .w64, .rf64, .ogg, .opus "
                      "or .mp3");
   }
   const auto fits = [](int format) {
      SF_INFO probe{};
      probe.samplerate = 44100;
      probe.channels = 2;
      probe.format = format;
      return sf_format_check(&probe) != 0;
   };
   if (encoding == "same") {
      // Only sample encodings carry over; a lossy codec would lose the audio a second time.
      constexpr int kSampleEncodings[] = {SF_FORMAT_PCM_S8, SF_FORMAT_PCM_U8, SF_FORMAT_PCM_16,
                                          SF_FORMAT_PCM_24, SF_FORMAT_PCM_32, SF_FORMAT_FLOAT,
                                          SF_FORMAT_DOUBLE};
      const int subtype = inputFormat & SF_FORMAT_SUBMASK;
      if (std::find(std::begin(kSampleEncodings), std::end(kSampleEncodings), subtype) !=
              std::end(kSampleEncodings) &&
          fits(major | subtype)) {
         return major | subtype;
      }
      // The container cannot carry the input's encoding (an MP3 or Vorbis input, float into
      // FLAC): keep the audio in floating point where the container can hold it, else 24 bits.
      const int fallback =
          fits(major | SF_FORMAT_FLOAT) ? major | SF_FORMAT_FLOAT : major | SF_FORMAT_PCM_24;
      if (!fits(fallback)) {
         throw ToolError(ExitCode::usage, "a ." + extension + " file cannot hold this audio",
                         "choose another container");
      }
      if (note) {
         *note = "a ." + extension + " file cannot hold " + describeFormat(subtype) +
                 "; written as " + describeFormat(fallback & SF_FORMAT_SUBMASK);
      }
      return fallback;
   }
   const auto* row = std::find_if(std::begin(kEncodings), std::end(kEncodings),
                                  [&](const Encoding& e) { return encoding == e.name; });
   if (row == std::end(kEncodings)) {
      throw ToolError(ExitCode::usage, "unknown sample encoding '" + encoding + "'",
                      "use same, pcm16, pcm24, pcm32, float or double");
   }
   if (!fits(major | row->subtype)) {
      throw ToolError(ExitCode::usage,
                      "a ." + extension + " file cannot hold " + describeFormat(row->subtype),
                      "choose another encoding with --encoding, e.g. pcm24 or float");
   }
   return major | row->subtype;
}

const std::vector<std::string>& encodingNames() {
   static const std::vector<std::string> names = [] {
      std::vector<std::string> all{"same"};
      for (const auto& e : kEncodings)
         all.emplace_back(e.name);
      return all;
   }();
   return names;
}

std::string describeFormat(int format) {
   std::string text;
   if (format & SF_FORMAT_TYPEMASK) {
      SF_FORMAT_INFO info{};
      info.format = format & SF_FORMAT_TYPEMASK;
      text = sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) == 0 && info.extension
                 ? lower(info.extension)
                 : "unknown container";
      text += ", ";
   }
   const int subtype = format & SF_FORMAT_SUBMASK;
   for (const auto& e : kEncodings) {
      if (e.subtype == subtype) return text + e.description;
   }
   SF_FORMAT_INFO info{};
   info.format = subtype;
   if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) == 0 && info.name) {
      return text + info.name;
   }
   return text + "unknown encoding";
}

} // namespace plughost
