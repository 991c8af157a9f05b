// plughost process: runs an audio file, or a built-in test signal, through a plug-in.

#include "tools/hostlib/audio_file.h"
#include "tools/hostlib/output_file.h"
#include "tools/hostlib/render.h"
#include "tools/hostlib/tool_error.h"
#include "tools/plughost/commands.h"
#include "tools/plughost/text_table.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <numbers>

namespace plughost {
namespace {

// The built-in test signal is written as 32-bit float WAV unless told otherwise.
constexpr int kTestSignalFormat = SF_FORMAT_WAV | SF_FORMAT_FLOAT;

// The test signal used when no input file is given: one sine per plug-in input at half of full
// scale (-6.02 dBFS), 440 Hz on the first channel and a fifth higher on each further one, so
// that the channels can be told apart in the output.
template <class Sample>
PlanarAudio<Sample> testSignal(int channels, int sampleRate, double seconds) {
   const auto frames = static_cast<size_t>(std::llround(seconds * sampleRate));
   PlanarAudio<Sample> audio(static_cast<size_t>(channels), frames);
   for (size_t c = 0; c < audio.channels.size(); ++c) {
      const double hz = 440.0 * std::pow(1.5, static_cast<double>(c));
      for (size_t i = 0; i < frames; ++i) {
         audio.channels[c][i] = static_cast<Sample>(
             0.5 * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(i) / sampleRate));
      }
   }
   return audio;
}

// A bar on stderr while a long run goes on: only on a terminal, only once the run has taken a
// moment, and redrawn at most ten times a second. It is erased when the run ends.
class Progress {
public:
   explicit Progress(bool enabled) : enabled_(enabled) {}
   ~Progress() {
      if (shown_) std::cerr << "\r\033[K" << std::flush;
   }
   void operator()(size_t done, size_t total) {
      if (!enabled_ || total == 0) return;
      const auto now = Clock::now();
      if (now - start_ < std::chrono::milliseconds(300) ||
          (shown_ && now - drawn_ < std::chrono::milliseconds(100))) {
         return;
      }
      drawn_ = now;
      shown_ = true;
      constexpr size_t kWidth = 40;
      const size_t filled = done * kWidth / total;
      std::cerr << "\r[" << std::string(filled, '#') << std::string(kWidth - filled, '.') << "] "
                << done * 100 / total << "%" << std::flush;
   }

private:
   bool enabled_;
   bool shown_ = false;
   Clock::time_point start_ = Clock::now();
   Clock::time_point drawn_;
};

template <class Sample>
int processFile(CommonOptions& common, const ProcessOptions& options) {
   AudioFileInfo info{options.sampleRate, 0, kTestSignalFormat};
   PlanarAudio<Sample> input;
   if (!options.input.empty()) input = readAudioFile<Sample>(options.input, info);
   const int format = chooseOutputFormat(options.output, info.format, options.encoding);
   PendingOutput output(options.output, options.overwrite);

   auto module = loadPlugin(common.plugin, "processing with");
   PluginInstance p(module,
                    hostSettings(common, static_cast<float>(info.sampleRate), options.blockSize));
   const std::vector<ParamInfo> set = applySettings(p, common.settings);
   const bool talk = !options.quiet && !common.json;
   if (talk) {
      for (const auto& pi : set)
         std::cout << settingText(pi) << '\n';
      std::cout << std::flush;
   }
   if (options.input.empty()) {
      info.channels = p.record().numInputs;
      input = testSignal<Sample>(info.channels, info.sampleRate, options.seconds);
   }
   if (info.channels != p.record().numInputs) {
      throw ToolError(ExitCode::usage,
                      "'" + options.input + "' has " + std::to_string(info.channels) +
                          " channels but the plug-in takes " + std::to_string(p.record().numInputs),
                      "give an audio file with as many channels as the plug-in has inputs");
   }
   p.start();
   PlanarAudio<Sample> result;
   const auto started = Clock::now();
   {
      Progress progress(talk && isatty(STDERR_FILENO));
      result = render(p, input, options.blockSize, std::ref(progress));
   }
   const double wallSeconds = std::chrono::duration<double>(Clock::now() - started).count();
   p.stop();
   writeAudioFile(output.temporaryPath(), result, info.sampleRate, format);
   output.commit();

   const auto inLevels = measureLevels(input);
   const auto outLevels = measureLevels(result);
   const double seconds = static_cast<double>(input.frames()) / info.sampleRate;
   const double realtime = wallSeconds > 0.0 ? seconds / wallSeconds : INFINITY;
   if (common.json) {
      JsonWriter j;
      j.beginObject();
      j.key("plugin").value(common.plugin);
      j.key("input");
      options.input.empty() ? j.null() : j.value(options.input);
      j.key("output").value(options.output);
      j.key("frames").value(static_cast<int64_t>(input.frames()));
      j.key("seconds").value(seconds);
      j.key("wallSeconds").value(wallSeconds);
      j.key("realtimeFactor").value(realtime);
      j.key("sampleRate").value(info.sampleRate);
      j.key("inputChannels").value(info.channels);
      j.key("outputChannels").value(static_cast<int64_t>(result.channels.size()));
      j.key("blockSize").value(options.blockSize);
      j.key("precision").value(options.precision);
      j.key("outputFormat").value(describeFormat(format));
      j.key("set");
      writeParams(j, set);
      j.key("parameters");
      writeParams(j, readParams(p));
      const auto levels = [&](const char* key, const std::vector<ChannelLevels>& all, bool rms) {
         j.key(key).beginArray();
         for (const auto& l : all)
            j.value(rms ? l.rms : l.peak);
         j.endArray();
      };
      levels("inputPeaks", inLevels, false);
      levels("outputPeaks", outLevels, false);
      levels("inputRms", inLevels, true);
      levels("outputRms", outLevels, true);
      j.endObject();
      std::cout << j.text() << '\n';
   } else if (talk) {
      TextTable summary;
      summary.add({"input", options.input.empty()
                                ? "built-in test signal (" + std::to_string(info.channels) +
                                      " sines at -6.02 dBFS)"
                                : options.input + " (" + describeFormat(info.format) + ")"});
      summary.add({"output", options.output + " (" + describeFormat(format) + ")"});
      summary.add({"frames", std::to_string(input.frames()) + " at " +
                                 std::to_string(info.sampleRate) + " Hz, " +
                                 std::to_string(options.precision) + "-bit blocks of " +
                                 std::to_string(options.blockSize)});
      summary.add({"audio", printed("%.3f s", seconds)});
      summary.add({"wall time", wallSeconds < 1.0 ? printed("%.1f ms", wallSeconds * 1e3)
                                                  : printed("%.3f s", wallSeconds)});
      summary.add({"real-time factor", std::isfinite(realtime) ? printed("%.0fx", realtime) : "-"});
      TextTable levels({"channel", "peak in", "peak out", "RMS in", "RMS out"}, "rrrrr");
      for (size_t c = 0; c < std::max(inLevels.size(), outLevels.size()); ++c) {
         const bool in = c < inLevels.size(), out = c < outLevels.size();
         levels.add({std::to_string(c), in ? decibels(inLevels[c].peak) : "",
                     out ? decibels(outLevels[c].peak) : "", in ? decibels(inLevels[c].rms) : "",
                     out ? decibels(outLevels[c].rms) : ""});
      }
      std::cout << summary.text() << "\nlevels in dBFS:\n" << levels.text("  ");
   }
   return 0;
}

} // namespace

CLI::App* addProcessCommand(CLI::App& app, CommonOptions& common, ProcessOptions& options) {
   auto* proc = app.add_subcommand("process", "run an audio file or a test signal through it");
   addCommon(proc, common);
   proc->add_option("-i,--input", options.inputOption,
                    "audio file to read; without it a built-in stereo test signal")
       ->type_name("IN");
   proc->add_option("input", options.input, "the same as -i")->type_name("IN");
   proc->add_option("-o,--output", options.output, "audio file to write; type from its extension")
       ->type_name("OUT")
       ->capture_default_str();
   proc->add_flag("--overwrite", options.overwrite, "replace the output file if it exists");
   proc->add_option("-b,--block-size", options.blockSize, "frames per processing call")
       ->type_name("N")
       ->check(CLI::Range(1, 1 << 20).description(""))
       ->capture_default_str();
   proc->add_option("--precision", options.precision, "32 or 64-bit samples")
       ->type_name("32|64")
       ->check(CLI::IsMember({32, 64}).description(""))
       ->capture_default_str();
   proc->add_option("-e,--encoding", options.encoding,
                    "output samples: same, pcm16, pcm24, pcm32, float, double")
       ->type_name("NAME")
       ->check(CLI::IsMember(encodingNames()).description(""))
       ->capture_default_str();
   options.secondsOption =
       proc->add_option("--seconds", options.seconds, "length of the test signal")
           ->type_name("S")
           ->check(CLI::Range(0.0, 3600.0).description(""))
           ->capture_default_str();
   options.rateOption =
       proc->add_option("--rate", options.sampleRate, "sample rate of the test signal")
           ->type_name("HZ")
           ->check(CLI::Range(1, 768000).description(""))
           ->capture_default_str();
   proc->add_flag("-q,--quiet", options.quiet, "print nothing on success");

   return proc;
}

int runProcess(CommonOptions& common, ProcessOptions& options) {
   if ((!options.input.empty() || !options.inputOption.empty()) &&
       (options.secondsOption->count() > 0 || options.rateOption->count() > 0)) {
      throw ToolError(ExitCode::usage, "--seconds and --rate shape the test signal only",
                      "leave them out when processing a file");
   }
   if (!options.inputOption.empty()) {
      if (!options.input.empty()) {
         throw ToolError(ExitCode::usage,
                         "two input files given: '" + options.input + "' and '" +
                             options.inputOption + "'",
                         "give the input file once, with -i");
      }
      options.input = options.inputOption;
   }
   if (!options.input.empty()) {
      std::error_code error;
      if (std::filesystem::equivalent(options.input, options.output, error)) {
         throw ToolError(ExitCode::usage, "the output file is the input file",
                         "write the result to a new file with -o");
      }
   }
   return options.precision == 64 ? processFile<double>(common, options)
                                  : processFile<float>(common, options);
}

} // namespace plughost
