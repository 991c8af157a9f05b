#include "tools/hostlib/audio_file.h"

#include "tools/hostlib/tool_error.h"

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <memory>

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

struct FileCloser {
   void operator()(SNDFILE* file) const { sf_close(file); }
};
using SoundFile = std::unique_ptr<SNDFILE, FileCloser>;

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

int readFrames(SNDFILE* file, float* samples, sf_count_t frames) {
   return static_cast<int>(sf_readf_float(file, samples, frames));
}
int readFrames(SNDFILE* file, double* samples, sf_count_t frames) {
   return static_cast<int>(sf_readf_double(file, samples, frames));
}
sf_count_t writeFrames(SNDFILE* file, const float* samples, sf_count_t frames) {
   return sf_writef_float(file, samples, frames);
}
sf_count_t writeFrames(SNDFILE* file, const double* samples, sf_count_t frames) {
   return sf_writef_double(file, samples, frames);
}

// Files are moved in pieces of this many frames so that interleaving needs little memory.
constexpr sf_count_t kChunkFrames = 4096;

} // namespace

template <class Sample>
PlanarAudio<Sample> readAudioFile(const std::string& path, AudioFileInfo& info) {
   SF_INFO sfInfo{};
   SoundFile file(sf_open(path.c_str(), SFM_READ, &sfInfo));
   if (!file) {
      throw ToolError(ExitCode::file,
                      "cannot read audio file '" + path + "': " + sf_strerror(nullptr),
                      "check the path; WAV, AIFF, FLAC, OGG and CAF files can be read");
   }
   info = {sfInfo.samplerate, sfInfo.channels, sfInfo.format};
   const auto channels = static_cast<size_t>(sfInfo.channels);
   PlanarAudio<Sample> audio(channels, static_cast<size_t>(sfInfo.frames));
   std::vector<Sample> interleaved(static_cast<size_t>(kChunkFrames) * channels);
   size_t done = 0;
   while (done < audio.frames()) {
      const auto want =
          static_cast<sf_count_t>(std::min<size_t>(kChunkFrames, audio.frames() - done));
      const int got = readFrames(file.get(), interleaved.data(), want);
      if (got <= 0) {
         throw ToolError(ExitCode::file,
                         "audio file '" + path + "' ends after " + std::to_string(done) + " of " +
                             std::to_string(audio.frames()) + " frames",
                         "the file is damaged or was cut short");
      }
      for (size_t f = 0; f < static_cast<size_t>(got); ++f) {
         for (size_t c = 0; c < channels; ++c) {
            audio.channels[c][done + f] = interleaved[f * channels + c];
         }
      }
      done += static_cast<size_t>(got);
   }
   return audio;
}

template <class Sample>
void writeAudioFile(const std::string& path, const PlanarAudio<Sample>& audio, int sampleRate,
                    int format) {
   SF_INFO sfInfo{};
   sfInfo.samplerate = sampleRate;
   sfInfo.channels = static_cast<int>(audio.channels.size());
   sfInfo.format = format;
   SoundFile file(sf_open(path.c_str(), SFM_WRITE, &sfInfo));
   if (!file) {
      throw ToolError(ExitCode::file,
                      "cannot write audio file '" + path + "': " + sf_strerror(nullptr),
                      "check that the folder exists and is writable");
   }
   sf_command(file.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);
   const size_t channels = audio.channels.size();
   std::vector<Sample> interleaved(static_cast<size_t>(kChunkFrames) * channels);
   for (size_t done = 0; done < audio.frames();) {
      const size_t n = std::min<size_t>(kChunkFrames, audio.frames() - done);
      for (size_t f = 0; f < n; ++f) {
         for (size_t c = 0; c < channels; ++c) {
            interleaved[f * channels + c] = audio.channels[c][done + f];
         }
      }
      if (writeFrames(file.get(), interleaved.data(), static_cast<sf_count_t>(n)) !=
          static_cast<sf_count_t>(n)) {
         throw ToolError(ExitCode::file,
                         "cannot write audio file '" + path + "': " + sf_strerror(file.get()),
                         "check that the disk is not full");
      }
      done += n;
   }
   if (sf_close(file.release()) != 0) {
      throw ToolError(ExitCode::file, "cannot finish audio file '" + path + "'",
                      "check that the disk is not full");
   }
}

template PlanarAudio<float> readAudioFile<float>(const std::string&, AudioFileInfo&);
template PlanarAudio<double> readAudioFile<double>(const std::string&, AudioFileInfo&);
template void writeAudioFile<float>(const std::string&, const PlanarAudio<float>&, int, int);
template void writeAudioFile<double>(const std::string&, const PlanarAudio<double>&, int, int);

template <class Sample>
std::vector<ChannelLevels> measureLevels(const PlanarAudio<Sample>& audio) {
   std::vector<ChannelLevels> levels;
   for (const auto& channel : audio.channels) {
      ChannelLevels l;
      double sumOfSquares = 0.0;
      for (const Sample s : channel) {
         const auto v = static_cast<double>(s);
         l.peak = std::max(l.peak, std::fabs(v));
         sumOfSquares += v * v;
      }
      if (!channel.empty()) l.rms = std::sqrt(sumOfSquares / static_cast<double>(channel.size()));
      levels.push_back(l);
   }
   return levels;
}

template std::vector<ChannelLevels> measureLevels<float>(const PlanarAudio<float>&);
template std::vector<ChannelLevels> measureLevels<double>(const PlanarAudio<double>&);

int chooseOutputFormat(const std::string& path, int inputFormat, const std::string& encoding) {
   const std::string extension = extensionOf(path);
   const int major = majorFormatFor(extension);
   if (major == 0) {
      throw ToolError(ExitCode::usage,
                      "cannot tell the audio format of '" + path + "' from its extension",
                      "name the output file .wav, .aiff, .flac, .caf or .w64");
   }
   int subtype = inputFormat & SF_FORMAT_SUBMASK;
   if (encoding != "same") {
      const auto* row = std::find_if(std::begin(kEncodings), std::end(kEncodings),
                                     [&](const Encoding& e) { return encoding == e.name; });
      if (row == std::end(kEncodings)) {
         throw ToolError(ExitCode::usage, "unknown sample encoding '" + encoding + "'",
                         "use same, pcm16, pcm24, pcm32, float or double");
      }
      subtype = row->subtype;
   }
   SF_INFO probe{};
   probe.samplerate = 44100;
   probe.channels = 2;
   probe.format = major | subtype;
   if (!sf_format_check(&probe)) {
      throw ToolError(ExitCode::usage,
                      "a ." + extension + " file cannot hold " + describeFormat(subtype),
                      "choose another encoding with --encoding, e.g. pcm24 or float");
   }
   return probe.format;
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
