// plughost: loads a plug-in and drives it from the command line as a host would. It shows what
// the plug-in reports, runs audio files through it and checks what hosts rely on.

#include "tools/audio_file.h"
#include "tools/json_writer.h"
#include "tools/param_assignment.h"
#include "tools/plugin_instance.h"
#include "tools/plugin_module.h"
#include "tools/plugin_validation.h"
#include "tools/render.h"
#include "tools/tool_error.h"
#include "tools/validate/validate_command.h"

#include <CLI/CLI.hpp>
#include <sndfile.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <numbers>
#include <sstream>

namespace plughost {
namespace {

constexpr const char* kVersion = "plughost 1.0.0";
// The built-in test signal is written as 32-bit float WAV unless told otherwise.
constexpr int kTestSignalFormat = SF_FORMAT_WAV | SF_FORMAT_FLOAT;

// ---- Shared options ---------------------------------------------------------------------------

struct CommonOptions {
   std::string plugin;
   std::vector<std::string> settings; // PARAM=VALUE
   bool json = false;
   bool trace = false;
};

HostSettings hostSettings(const CommonOptions& options, float sampleRate, int32_t blockSize) {
   HostSettings settings{sampleRate, blockSize, {}};
   if (options.trace) {
      settings.trace = [](const std::string& line) { std::cerr << "trace: " << line << '\n'; };
   }
   return settings;
}

std::vector<std::string> parameterNames(PluginInstance& p) {
   std::vector<std::string> names;
   for (int32_t i = 0; i < p.record().numParams; ++i)
      names.push_back(p.parameterName(i));
   return names;
}

void applySettings(PluginInstance& p, const std::vector<std::string>& settings) {
   if (settings.empty()) return;
   const auto names = parameterNames(p);
   for (const auto& text : settings) {
      const ParamAssignment a = parseAssignment(text, names);
      p.setParameter(a.index, a.value);
   }
}

// 'Trmw' when all four characters are printable, else the number in hex.
std::string fourCharText(int32_t code) {
   std::string text;
   for (int shift = 24; shift >= 0; shift -= 8) {
      const auto c = static_cast<unsigned char>(static_cast<uint32_t>(code) >> shift);
      if (c < 0x20 || c > 0x7E) {
         text.clear();
         break;
      }
      text += static_cast<char>(c);
   }
   char hex[16];
   std::snprintf(hex, sizeof hex, "0x%08X", static_cast<uint32_t>(code));
   return text.empty() ? hex : "'" + text + "' (" + hex + ")";
}

struct FlagName {
   int32_t bit;
   const char* name;
};
constexpr FlagName kFlagNames[] = {
    {effFlagsHasEditor, "hasEditor"},
    {effFlagsHasClip, "hasClip"},
    {effFlagsHasVu, "hasVu"},
    {effFlagsCanMono, "canMono"},
    {effFlagsCanReplacing, "canReplacing"},
    {effFlagsProgramChunks, "programChunks"},
    {effFlagsIsSynth, "isSynth"},
    {effFlagsNoSoundInStop, "noSoundInStop"},
    {effFlagsExtIsAsync, "extIsAsync"},
    {effFlagsExtHasBuffer, "extHasBuffer"},
    {effFlagsCanDoubleReplacing, "canDoubleReplacing"},
};

std::vector<std::string> flagNames(int32_t flags) {
   std::vector<std::string> names;
   for (const auto& f : kFlagNames) {
      if (flags & f.bit) names.emplace_back(f.name);
   }
   return names;
}

double toDecibels(double peak) {
   return peak > 0.0 ? 20.0 * std::log10(peak) : -INFINITY;
}

std::string decibelText(double peak) {
   if (!(peak > 0.0)) return "-inf dBFS";
   char text[32];
   std::snprintf(text, sizeof text, "%.2f dBFS", toDecibels(peak));
   return text;
}

// ---- info -------------------------------------------------------------------------------------

struct ParamInfo {
   std::string name, label, display;
   float value;
   bool automatable;
};

std::vector<ParamInfo> readParams(PluginInstance& p) {
   std::vector<ParamInfo> params;
   for (int32_t i = 0; i < p.record().numParams; ++i) {
      params.push_back({p.parameterName(i), p.parameterLabel(i), p.parameterDisplay(i),
                        p.getParameter(i), p.dispatch(effCanBeAutomated, i) != 0});
   }
   return params;
}

void writeParams(JsonWriter& j, const std::vector<ParamInfo>& params) {
   j.beginArray();
   for (size_t i = 0; i < params.size(); ++i) {
      const auto& pi = params[i];
      j.beginObject();
      j.key("index").value(static_cast<int64_t>(i));
      j.key("name").value(pi.name).key("value").value(pi.value);
      j.key("display").value(pi.display).key("label").value(pi.label);
      j.key("automatable").value(pi.automatable);
      j.endObject();
   }
   j.endArray();
}

int runInfo(const CommonOptions& options) {
   auto module = PluginModule::load(options.plugin);
   PluginInstance p(module, hostSettings(options, 44100.0f, 512));
   applySettings(p, options.settings);
   const AEffect& e = p.record();

   const std::string name = p.effectName();
   const std::string vendor = p.vendorString();
   const std::string product = p.productString();
   const auto vendorVersion = static_cast<int32_t>(p.dispatch(effGetVendorVersion));
   const auto vstVersion = static_cast<int32_t>(p.dispatch(effGetVstVersion));
   const auto category = static_cast<int32_t>(p.dispatch(effGetPlugCategory));
   const auto tailSize = static_cast<int32_t>(p.dispatch(effGetTailSize));
   const auto program = static_cast<int32_t>(p.dispatch(effGetProgram));
   const std::string programName = p.programName();
   const std::vector<ParamInfo> params = readParams(p);

   if (options.json) {
      JsonWriter j;
      j.beginObject();
      j.key("plugin").value(options.plugin);
      j.key("entry").value(module->entryName());
      j.key("name").value(name);
      j.key("vendor").value(vendor);
      j.key("product").value(product);
      j.key("vendorVersion").value(vendorVersion);
      j.key("uniqueId").value(static_cast<int64_t>(static_cast<uint32_t>(e.uniqueID)));
      j.key("uniqueIdText").value(fourCharText(e.uniqueID));
      j.key("version").value(e.version);
      j.key("vstVersion").value(vstVersion);
      j.key("category").value(category);
      j.key("inputs").value(e.numInputs);
      j.key("outputs").value(e.numOutputs);
      j.key("initialDelay").value(e.initialDelay);
      j.key("tailSize").value(tailSize);
      j.key("flags").beginObject();
      j.key("value").value(e.flags);
      j.key("names").beginArray();
      for (const auto& f : flagNames(e.flags))
         j.value(f);
      j.endArray().endObject();
      j.key("programs").value(e.numPrograms);
      j.key("program").beginObject();
      j.key("index").value(program).key("name").value(programName).endObject();
      j.key("parameters");
      writeParams(j, params);
      j.endObject();
      std::cout << j.text() << '\n';
      return 0;
   }

   std::ostringstream out;
   out << name << "  (" << vendor << ", " << product << ", version " << vendorVersion << ")\n";
   out << "unique ID  " << fourCharText(e.uniqueID) << ", record version " << e.version
       << ", interface " << vstVersion << '\n';
   out << "audio      " << e.numInputs << " in, " << e.numOutputs << " out, "
       << (p.canProcessDouble() ? "32-bit and 64-bit" : "32-bit") << " processing, latency "
       << e.initialDelay << " frames\n";
   out << "category   " << category << (category == kPlugCategSynth ? " (synth)" : "") << '\n';
   out << "flags      ";
   char hex[16];
   std::snprintf(hex, sizeof hex, "0x%X", static_cast<uint32_t>(e.flags));
   out << hex;
   const auto flags = flagNames(e.flags);
   for (size_t i = 0; i < flags.size(); ++i)
      out << (i ? ", " : " ") << flags[i];
   out << '\n';
   out << "programs   " << e.numPrograms << ", current " << program << " \"" << programName
       << "\"\n";
   if (!params.empty()) {
      size_t width = 4;
      for (const auto& pi : params)
         width = std::max(width, pi.name.size());
      out << '\n'
          << "  #  " << std::string("name") << std::string(width - 4 + 2, ' ')
          << "value     display   label\n";
      for (size_t i = 0; i < params.size(); ++i) {
         const auto& pi = params[i];
         char value[32];
         std::snprintf(value, sizeof value, "%-9g", static_cast<double>(pi.value));
         out << "  " << i << "  " << pi.name << std::string(width - pi.name.size() + 2, ' ')
             << value << ' ' << pi.display
             << std::string(10 - std::min<size_t>(pi.display.size(), 9), ' ') << pi.label << '\n';
      }
   }
   std::cout << out.str();
   return 0;
}

// ---- process ----------------------------------------------------------------------------------

struct ProcessOptions {
   std::string input; // empty: the built-in test signal
   std::string output = "out.wav";
   std::string encoding = "same";
   int32_t blockSize = 512;
   int precision = 32;
   double seconds = 1.0;   // length of the test signal
   int sampleRate = 44100; // sample rate of the test signal
   bool overwrite = false;
   bool quiet = false;
};

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

class Progress {
public:
   explicit Progress(bool enabled) : enabled_(enabled) {}
   ~Progress() {
      if (shown_) std::cerr << "\r\033[K" << std::flush;
   }
   void operator()(size_t done, size_t total) {
      if (!enabled_ || total == 0) return;
      const auto percent = static_cast<int>(done * 100 / total);
      if (percent == last_) return;
      last_ = percent;
      shown_ = true;
      std::cerr << "\rprocessing " << percent << "%" << std::flush;
   }

private:
   bool enabled_;
   bool shown_ = false;
   int last_ = -1;
};

template <class Sample>
std::vector<double> peaks(const PlanarAudio<Sample>& audio) {
   std::vector<double> result;
   for (const auto& channel : audio.channels) {
      double peak = 0.0;
      for (const Sample s : channel)
         peak = std::max(peak, std::fabs(static_cast<double>(s)));
      result.push_back(peak);
   }
   return result;
}

template <class Sample>
int processFile(const CommonOptions& common, const ProcessOptions& options) {
   auto module = PluginModule::load(common.plugin);
   AudioFileInfo info;
   PlanarAudio<Sample> input;
   if (!options.input.empty()) input = readAudioFile<Sample>(options.input, info);
   if (options.input.empty()) {
      info = {options.sampleRate, 0, kTestSignalFormat};
   }
   const int format = chooseOutputFormat(options.output, info.format, options.encoding);

   PluginInstance p(module,
                    hostSettings(common, static_cast<float>(info.sampleRate), options.blockSize));
   applySettings(p, common.settings);
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
   const std::vector<ParamInfo> params = readParams(p); // as they are while processing
   p.start();
   PlanarAudio<Sample> output;
   {
      Progress progress(!options.quiet && !common.json && isatty(STDERR_FILENO));
      output = render(p, input, options.blockSize, std::ref(progress));
   }
   p.stop();
   writeAudioFile(options.output, output, info.sampleRate, format);

   const auto inPeaks = peaks(input);
   const auto outPeaks = peaks(output);
   const double seconds = static_cast<double>(input.frames()) / info.sampleRate;
   if (common.json) {
      JsonWriter j;
      j.beginObject();
      j.key("plugin").value(common.plugin);
      j.key("input");
      options.input.empty() ? j.null() : j.value(options.input);
      j.key("output").value(options.output);
      j.key("frames").value(static_cast<int64_t>(input.frames()));
      j.key("seconds").value(seconds);
      j.key("sampleRate").value(info.sampleRate);
      j.key("inputChannels").value(info.channels);
      j.key("outputChannels").value(static_cast<int64_t>(output.channels.size()));
      j.key("blockSize").value(options.blockSize);
      j.key("precision").value(options.precision);
      j.key("outputFormat").value(describeFormat(format));
      j.key("parameters");
      writeParams(j, params);
      j.key("inputPeaks").beginArray();
      for (const double v : inPeaks)
         j.value(v);
      j.endArray();
      j.key("outputPeaks").beginArray();
      for (const double v : outPeaks)
         j.value(v);
      j.endArray();
      j.endObject();
      std::cout << j.text() << '\n';
   } else if (!options.quiet) {
      std::ostringstream out;
      char duration[32];
      std::snprintf(duration, sizeof duration, "%.3f s", seconds);
      out << "processed " << input.frames() << " frames (" << duration << ", " << info.sampleRate
          << " Hz) in " << options.precision << "-bit blocks of " << options.blockSize << '\n';
      for (const auto& pi : params) {
         out << pi.name << " = " << pi.value << " (" << pi.display << (pi.label.empty() ? "" : " ")
             << pi.label << ")\n";
      }
      out << "wrote " << options.output << " (" << describeFormat(format) << ", "
          << output.channels.size() << " channels)\n";
      for (size_t c = 0; c < std::max(inPeaks.size(), outPeaks.size()); ++c) {
         out << "channel " << c << "  peak in "
             << (c < inPeaks.size() ? decibelText(inPeaks[c]) : "-") << ", out "
             << (c < outPeaks.size() ? decibelText(outPeaks[c]) : "-") << '\n';
      }
      std::cout << out.str();
   }
   return 0;
}

int runProcess(const CommonOptions& common, const ProcessOptions& options) {
   if (!options.input.empty()) {
      std::error_code error;
      if (std::filesystem::equivalent(options.input, options.output, error)) {
         throw ToolError(ExitCode::usage, "the output file is the input file",
                         "write the result to a new file with -o");
      }
   }
   if (!options.overwrite && std::filesystem::exists(options.output)) {
      throw ToolError(ExitCode::usage, "'" + options.output + "' exists already",
                      "add --overwrite to replace it, or choose another name with -o");
   }
   return options.precision == 64 ? processFile<double>(common, options)
                                  : processFile<float>(common, options);
}

// ---- Command line -----------------------------------------------------------------------------

void addCommon(CLI::App* command, CommonOptions& options, bool settings) {
   command->add_option("plugin", options.plugin, "the plug-in library (.so)")
       ->required()
       ->type_name("PLUGIN");
   if (settings) {
      command
          ->add_option("-p,--param", options.settings,
                       "set a parameter first: PARAM is its index or name, VALUE 0..1 or e.g. -6dB")
          ->type_name("PARAM=VALUE");
   }
   command->add_flag("--json", options.json, "print machine-readable JSON");
   command->add_flag("--trace", options.trace, "log every command and host request to stderr");
}

void printError(const std::string& cause, const std::string& hint) {
   std::cerr << "plughost: error: " << cause << '\n' << "hint: " << hint << '\n';
}

int run(int argc, char** argv) {
   CLI::App app{"plughost: load and drive a plug-in from the command line.", "plughost"};
   app.set_version_flag("--version", kVersion);
   app.require_subcommand(1);
   app.footer("Run 'plughost COMMAND --help' for a command's options.\n"
              "Exit codes: 0 ok, 1 validation found faults, 2 usage error, 3 plug-in failed,\n"
              "4 audio file error.");

   CommonOptions common;
   ProcessOptions process;

   auto* info = app.add_subcommand("info", "show the plug-in's identity, parameters and program");
   addCommon(info, common, true);

   auto* proc = app.add_subcommand("process", "run an audio file or a test signal through it");
   addCommon(proc, common, true);
   proc->add_option("input", process.input, "audio file to read; without it a test signal")
       ->type_name("INPUT");
   proc->add_option("-o,--output", process.output, "audio file to write; type from its extension")
       ->type_name("FILE")
       ->capture_default_str();
   proc->add_flag("--overwrite", process.overwrite, "replace the output file if it exists");
   proc->add_option("-b,--block", process.blockSize, "frames per processing call")
       ->type_name("N")
       ->check(CLI::Range(1, 1 << 20).description(""))
       ->capture_default_str();
   proc->add_option("--precision", process.precision, "32 or 64-bit samples")
       ->type_name("BITS")
       ->check(CLI::IsMember({32, 64}).description(""))
       ->capture_default_str();
   proc->add_option("-e,--encoding", process.encoding,
                    "output samples: same, pcm16, pcm24, pcm32, float, double")
       ->type_name("NAME")
       ->check(CLI::IsMember(encodingNames()).description(""))
       ->capture_default_str();
   auto* seconds = proc->add_option("--seconds", process.seconds, "length of the test signal")
                       ->type_name("S")
                       ->check(CLI::Range(0.0, 3600.0).description(""))
                       ->capture_default_str();
   auto* rate = proc->add_option("--rate", process.sampleRate, "sample rate of the test signal")
                    ->type_name("HZ")
                    ->check(CLI::Range(1, 768000).description(""))
                    ->capture_default_str();
   proc->add_flag("-q,--quiet", process.quiet, "print nothing on success");

   validate::ValidateOptions validation;
   auto* chk = validate::addValidateCommand(app, validation);

   try {
      app.parse(argc, argv);
   } catch (const CLI::CallForHelp&) {
      std::cout << (app.get_subcommands().empty() ? app.help()
                                                  : app.get_subcommands().front()->help());
      return 0;
   } catch (const CLI::CallForVersion&) {
      std::cout << kVersion << '\n';
      return 0;
   } catch (const CLI::ParseError& e) {
      const auto parsed = app.get_subcommands();
      printError(e.what(),
                 parsed.empty()
                     ? "run 'plughost --help' for the commands and their options"
                     : "run 'plughost " + parsed.front()->get_name() + " --help' for its options");
      return static_cast<int>(ExitCode::usage);
   }

   if (info->parsed()) return runInfo(common);
   if (proc->parsed()) {
      if (!process.input.empty() && (seconds->count() > 0 || rate->count() > 0)) {
         throw ToolError(ExitCode::usage, "--seconds and --rate shape the test signal only",
                         "leave them out when processing a file");
      }
      return runProcess(common, process);
   }
   if (chk->parsed()) return validate::runValidate(validation);
   return 0;
}

} // namespace
} // namespace plughost

int main(int argc, char** argv) {
   using namespace plughost;
   try {
      return run(argc, argv);
   } catch (const ToolError& e) {
      printError(e.what(), e.hint());
      return static_cast<int>(e.code());
   } catch (const std::exception& e) {
      printError(e.what(), "this is a bug in plughost; please report it with the command line");
      return static_cast<int>(ExitCode::internal);
   }
}
