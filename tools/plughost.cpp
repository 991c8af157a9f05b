// plughost: loads a plug-in and drives it from the command line as a host would. It lists what
// is installed, shows what a plug-in reports, runs audio files through it, measures its speed
// and checks what hosts rely on.

#include "tools/audio_file.h"
#include "tools/bench.h"
#include "tools/fatal_signal.h"
#include "tools/json_writer.h"
#include "tools/output_file.h"
#include "tools/param_assignment.h"
#include "tools/plugin_instance.h"
#include "tools/plugin_module.h"
#include "tools/plugin_probe.h"
#include "tools/plugin_search.h"
#include "tools/render.h"
#include "tools/text_table.h"
#include "tools/tool_error.h"
#include "tools/validate/validate_command.h"

#include <CLI/CLI.hpp>
#include <sndfile.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <numbers>
#include <sstream>

namespace plughost {
namespace {

constexpr const char* kVersion = "plughost 1.0.0";
// The built-in test signal is written as 32-bit float WAV unless told otherwise.
constexpr int kTestSignalFormat = SF_FORMAT_WAV | SF_FORMAT_FLOAT;

using Clock = std::chrono::steady_clock;

std::string printed(const char* pattern, double value) {
   char text[64];
   std::snprintf(text, sizeof text, pattern, value);
   return text;
}

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

// Finds the library for PLUGIN, loads it once in a child process, so that a plug-in that crashes
// while loading is reported rather than taking plughost down, and then loads it here. From then
// on a crash is reported as one during `activity`.
std::shared_ptr<PluginModule> loadPlugin(std::string& plugin, const std::string& activity) {
   plugin = findPlugin(plugin);
   probePlugin(plugin);
   reportFatalSignals(activity + " '" + plugin + "'");
   return PluginModule::load(plugin);
}

struct ParamInfo {
   int32_t index;
   std::string name, label, display;
   float value;
   bool automatable;
};

ParamInfo readParam(PluginInstance& p, int32_t i) {
   return {i,
           p.parameterName(i),
           p.parameterLabel(i),
           p.parameterDisplay(i),
           p.getParameter(i),
           p.dispatch(effCanBeAutomated, i) != 0};
}

std::vector<ParamInfo> readParams(PluginInstance& p) {
   std::vector<ParamInfo> params;
   for (int32_t i = 0; i < p.record().numParams; ++i)
      params.push_back(readParam(p, i));
   return params;
}

bool isDecibelLabel(std::string label) {
   label.erase(0, label.find_first_not_of(' '));
   label.erase(label.find_last_not_of(' ') + 1);
   return label.size() == 2 && (label[0] == 'd' || label[0] == 'D') &&
          (label[1] == 'b' || label[1] == 'B');
}

// Sets each PARAM=VALUE in order and returns the parameters as they read afterwards, one entry
// per setting. A level in dB is turned into the host value whose display shows it.
std::vector<ParamInfo> applySettings(PluginInstance& p, const std::vector<std::string>& settings) {
   std::vector<ParamInfo> applied;
   if (settings.empty()) return applied;
   std::vector<std::string> names;
   for (int32_t i = 0; i < p.record().numParams; ++i)
      names.push_back(p.parameterName(i));
   for (const auto& text : settings) {
      const ParamAssignment a = parseAssignment(text, names);
      float value = a.value;
      if (a.decibels) {
         const std::string& name = names[static_cast<size_t>(a.index)];
         const std::string label = p.parameterLabel(a.index);
         if (!isDecibelLabel(label)) {
            throw ToolError(ExitCode::usage,
                            "'" + name + "' is not shown in dB (its label is '" + label + "')",
                            "give its host value from 0 to 1, e.g. \"" + name + "=0.5\"");
         }
         const std::string levelText = text.substr(text.rfind('=') + 1);
         value = hostValueForLevel(a.level, levelText, name, [&](float v) {
            p.setParameter(a.index, v);
            return p.parameterDisplay(a.index);
         });
      }
      p.setParameter(a.index, value);
      applied.push_back(readParam(p, a.index));
   }
   return applied;
}

// 'Trmw' when all four characters are printable, else empty.
std::string fourCharText(int32_t code) {
   std::string text;
   for (int shift = 24; shift >= 0; shift -= 8) {
      const auto c = static_cast<unsigned char>(static_cast<uint32_t>(code) >> shift);
      if (c < 0x20 || c > 0x7E) return "";
      text += static_cast<char>(c);
   }
   return "'" + text + "'";
}

// "'Trmw' 1416785271 (0x54726D77)": the characters where printable, the number and its hex.
std::string uniqueIdText(int32_t code) {
   char number[48];
   std::snprintf(number, sizeof number, "%u (0x%08X)", static_cast<uint32_t>(code),
                 static_cast<uint32_t>(code));
   const std::string chars = fourCharText(code);
   return chars.empty() ? number : chars + " " + number;
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

// The categories the interface names; any other is shown as its number.
std::string categoryName(int32_t category) {
   switch (category) {
   case kPlugCategUnknown:
      return "Unknown";
   case kPlugCategSynth:
      return "Synth";
   default:
      return std::to_string(category);
   }
}

std::string decibels(double level) {
   return level > 0.0 ? printed("%.2f", 20.0 * std::log10(level)) : "-inf";
}

void writeParams(JsonWriter& j, const std::vector<ParamInfo>& params) {
   j.beginArray();
   for (const auto& pi : params) {
      j.beginObject();
      j.key("index").value(pi.index);
      j.key("name").value(pi.name).key("value").value(pi.value);
      j.key("display").value(pi.display).key("label").value(pi.label);
      j.key("automatable").value(pi.automatable);
      j.endObject();
   }
   j.endArray();
}

// "Left Gain = 0.501187 (-6.00000 dB)"
std::string settingText(const ParamInfo& pi) {
   std::ostringstream out;
   out << pi.name << " = " << pi.value << " (" << pi.display << (pi.label.empty() ? "" : " ")
       << pi.label << ")";
   return out.str();
}

// ---- list -------------------------------------------------------------------------------------

int runList(bool json) {
   struct Found {
      std::string path;
      std::string file;
      size_t folder;
      bool usable;
      bool shadowed;
      PluginSummary summary;
      std::string problem;
   };
   const auto folders = searchPath();
   std::vector<Found> found;
   std::vector<bool> exists;
   std::map<std::string, size_t> firstByName;
   for (size_t f = 0; f < folders.size(); ++f) {
      std::error_code error;
      exists.push_back(std::filesystem::is_directory(folders[f].path, error));
      for (const auto& path : pluginFilesIn(folders[f].path)) {
         Found item{path, std::filesystem::path(path).filename().string(), f, false, false, {}, {}};
         item.shadowed = !firstByName.emplace(item.file, found.size()).second;
         try {
            item.summary = probePlugin(path, 10.0);
            item.usable = true;
         } catch (const ToolError& e) {
            item.problem = e.what();
         }
         found.push_back(std::move(item));
      }
   }

   if (json) {
      JsonWriter j;
      j.beginObject().key("searchPath").beginArray();
      for (size_t f = 0; f < folders.size(); ++f) {
         j.beginObject().key("path").value(folders[f].path).key("origin").value(folders[f].origin);
         j.key("exists").value(static_cast<bool>(exists[f])).endObject();
      }
      j.endArray().key("plugins").beginArray();
      for (const auto& item : found) {
         j.beginObject().key("path").value(item.path).key("usable").value(item.usable);
         j.key("shadowed").value(item.shadowed);
         if (item.usable) {
            j.key("name").value(item.summary.name).key("vendor").value(item.summary.vendor);
            j.key("uniqueId")
                .value(static_cast<int64_t>(static_cast<uint32_t>(item.summary.uniqueId)));
            j.key("inputs").value(item.summary.inputs).key("outputs").value(item.summary.outputs);
         } else {
            j.key("problem").value(item.problem);
         }
         j.endObject();
      }
      j.endArray().endObject();
      std::cout << j.text() << '\n';
      return 0;
   }

   std::ostringstream out;
   out << "search path (a bare PLUGIN name is looked up in this order):\n";
   TextTable path;
   for (size_t f = 0; f < folders.size(); ++f) {
      size_t count = 0;
      for (const auto& item : found)
         count += item.folder == f && item.usable;
      path.add({std::to_string(f + 1), folders[f].path, folders[f].origin,
                !exists[f] ? "missing"
                           : std::to_string(count) + (count == 1 ? " plug-in" : " plug-ins")});
   }
   out << path.text("  ") << '\n';
   TextTable table({"file", "name", "vendor", "unique ID", "in", "out", "folder"}, "llllrrl");
   std::string unusable;
   size_t usable = 0;
   for (const auto& item : found) {
      if (!item.usable) {
         unusable += "  " + item.path + ": " + item.problem + "\n";
         continue;
      }
      ++usable;
      const auto& s = item.summary;
      const std::string id = fourCharText(s.uniqueId);
      std::string folder = std::to_string(item.folder + 1);
      if (item.shadowed) {
         folder += ", hidden by " + std::to_string(found[firstByName[item.file]].folder + 1);
      }
      table.add({item.file, s.name, s.vendor,
                 id.empty() ? std::to_string(static_cast<uint32_t>(s.uniqueId)) : id,
                 std::to_string(s.inputs), std::to_string(s.outputs), folder});
   }
   if (usable > 0) out << "plug-ins:\n" << table.text("  ");
   if (!unusable.empty()) out << (usable > 0 ? "\n" : "") << "not usable:\n" << unusable;
   if (found.empty()) {
      out << "no plug-ins found; set VST_PATH or install into one of the folders above\n";
   }
   std::cout << out.str();
   return 0;
}

// ---- info -------------------------------------------------------------------------------------

int runInfo(CommonOptions& options) {
   auto module = loadPlugin(options.plugin, "reading");
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
      j.key("categoryName").value(categoryName(category));
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

   std::string flags;
   for (const auto& f : flagNames(e.flags))
      flags += (flags.empty() ? "" : ", ") + f;
   char hex[16];
   std::snprintf(hex, sizeof hex, "0x%X", static_cast<uint32_t>(e.flags));
   flags += (flags.empty() ? "" : " ") + std::string("(") + hex + ")";

   TextTable about;
   about.add({"name", name});
   about.add({"vendor", vendor});
   about.add({"product", product});
   about.add({"vendor version", std::to_string(vendorVersion)});
   about.add({"unique ID", uniqueIdText(e.uniqueID)});
   about.add({"inputs", std::to_string(e.numInputs)});
   about.add({"outputs", std::to_string(e.numOutputs)});
   about.add({"flags", flags});
   about.add({"category",
              categoryName(category) + (category == kPlugCategUnknown || category == kPlugCategSynth
                                            ? " (" + std::to_string(category) + ")"
                                            : "")});
   about.add({"interface", std::to_string(vstVersion)});
   about.add({"program", std::to_string(program) + " \"" + programName + "\" of " +
                             std::to_string(e.numPrograms)});
   about.add({"processing", std::string(p.canProcessDouble() ? "32-bit and 64-bit" : "32-bit") +
                                ", latency " + std::to_string(e.initialDelay) + " frames"});
   about.add({"library", options.plugin + " (entry " + module->entryName() + ")"});
   std::string text = about.text();
   if (!params.empty()) {
      TextTable table({"#", "name", "value", "display", "label", "automatable"}, "rlrr");
      for (const auto& pi : params) {
         std::ostringstream value;
         value << pi.value;
         table.add({std::to_string(pi.index), pi.name, value.str(), pi.display, pi.label,
                    pi.automatable ? "yes" : "no"});
      }
      text += "\n" + table.text("  ");
   }
   std::cout << text;
   return 0;
}

// ---- process ----------------------------------------------------------------------------------

struct ProcessOptions {
   std::string input; // empty: the built-in test signal
   std::string inputOption;
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

int runProcess(CommonOptions& common, ProcessOptions& options) {
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

// ---- bench ------------------------------------------------------------------------------------

struct BenchCommandOptions {
   std::string precision = "both";
   double seconds = 0.25;
};

int runBenchCommand(CommonOptions& common, const BenchCommandOptions& options) {
   auto module = loadPlugin(common.plugin, "measuring");
   PluginInstance p(module, hostSettings(common, static_cast<float>(kBenchSampleRate), 65536));
   applySettings(p, common.settings);
   BenchOptions bench;
   bench.secondsPerRow = options.seconds;
   bench.precisions = {32};
   std::string note;
   if (options.precision != "32") {
      if (p.canProcessDouble()) {
         bench.precisions = options.precision == "64" ? std::vector<int>{64} : std::vector{32, 64};
      } else if (options.precision == "64") {
         throw ToolError(ExitCode::usage, "the plug-in does not process 64-bit audio",
                         "measure 32-bit processing instead (--precision 32)");
      } else {
         note = "the plug-in does not process 64-bit audio; 32-bit only\n";
      }
   }

   const auto cells = [](const BenchRow& r) {
      return std::vector<std::string>{
          std::to_string(r.precision) + "-bit",    std::to_string(r.blockSize),
          r.inPlace ? "in place" : "out of place", printed("%.1f", r.nsPerBlock),
          printed("%.1f", r.memcpyNsPerBlock),     printed("%.2f", r.ratio()),
          printed("%.0f", r.realtimeFactor())};
   };
   // Rows are printed as they finish, so the columns get fixed widths instead of fitted ones.
   const auto line = [](const std::vector<std::string>& c) {
      char text[160];
      std::snprintf(text, sizeof text, "%-9s %6s  %-12s %10s %10s %7s %12s\n", c[0].c_str(),
                    c[1].c_str(), c[2].c_str(), c[3].c_str(), c[4].c_str(), c[5].c_str(),
                    c[6].c_str());
      return std::string(text);
   };
   if (!common.json) {
      std::cout << "bench " << common.plugin << " at " << kBenchSampleRate << " Hz: best of "
                << bench.repetitions << " repetitions, " << options.seconds << " s per row\n"
                << note << '\n'
                << line({"precision", "block", "buffers", "ns/block", "memcpy ns", "ratio",
                         "x real time"})
                << std::flush;
   }
   const auto rows = runBench(p, bench, [&](const BenchRow& r) {
      if (!common.json) std::cout << line(cells(r)) << std::flush;
   });
   if (common.json) {
      JsonWriter j;
      j.beginObject();
      j.key("plugin").value(common.plugin);
      j.key("sampleRate").value(kBenchSampleRate);
      j.key("repetitions").value(bench.repetitions);
      j.key("secondsPerRow").value(bench.secondsPerRow);
      j.key("rows").beginArray();
      for (const auto& r : rows) {
         j.beginObject();
         j.key("precision").value(r.precision).key("blockSize").value(r.blockSize);
         j.key("inPlace").value(r.inPlace);
         j.key("nsPerBlock").value(r.nsPerBlock).key("memcpyNsPerBlock").value(r.memcpyNsPerBlock);
         j.key("ratio").value(r.ratio()).key("realtimeFactor").value(r.realtimeFactor());
         j.endObject();
      }
      j.endArray().endObject();
      std::cout << j.text() << '\n';
   }
   return 0;
}

// ---- Command line -----------------------------------------------------------------------------

void addPlugin(CLI::App* command, std::string& plugin) {
   command->add_option("plugin", plugin, "path or name of the plug-in library")
       ->required()
       ->type_name("PLUGIN");
}

void addCommon(CLI::App* command, CommonOptions& options) {
   addPlugin(command, options.plugin);
   command
       ->add_option("-p,--param", options.settings,
                    "set a parameter first: by index or name, to 0..1 or e.g. -6dB, -inf")
       ->type_name("NAME|INDEX=VALUE");
   command->add_flag("--json", options.json, "print machine-readable JSON");
   command->add_flag("--trace", options.trace, "log every command and host request to stderr");
}

void printError(const std::string& cause, const std::string& hint) {
   std::cerr << "plughost: error: " << cause << '\n' << "hint: " << hint << '\n';
}

// CLI11 reports a mistyped command only as a missing one; name it instead.
void checkCommand(const CLI::App& app, int argc, char** argv) {
   if (argc < 2 || argv[1][0] == '-') return;
   for (const auto* command : app.get_subcommands({})) {
      if (command->get_name() == argv[1]) return;
   }
   std::string names;
   for (const auto* command : app.get_subcommands({}))
      names += (names.empty() ? "" : ", ") + command->get_name();
   throw ToolError(ExitCode::usage, "there is no command '" + std::string(argv[1]) + "'",
                   "the commands are " + names + "; run 'plughost --help' for more");
}

int run(int argc, char** argv) {
   CLI::App app{"plughost: load and drive a plug-in from the command line.", "plughost"};
   app.set_version_flag("--version", kVersion);
   app.require_subcommand(1);
   app.footer("PLUGIN is a path, or a name looked up in $VST_PATH (colon-separated), ~/.vst,\n"
              "/usr/local/lib/vst and /usr/lib/vst. 'plughost COMMAND --help' for its options.\n"
              "Exit codes: 0 done, 1 failed, 2 usage, 3 file I/O, 4 plug-in could not be loaded.");

   CommonOptions common;
   ProcessOptions process;
   BenchCommandOptions benchOptions;
   bool listJson = false;

   auto* list = app.add_subcommand("list", "show the search path and the plug-ins found on it");
   list->add_flag("--json", listJson, "print machine-readable JSON");

   auto* info = app.add_subcommand("info", "show the plug-in's identity, parameters and program");
   addCommon(info, common);

   auto* proc = app.add_subcommand("process", "run an audio file or a test signal through it");
   addCommon(proc, common);
   proc->add_option("-i,--input", process.inputOption,
                    "audio file to read; without it a built-in stereo test signal")
       ->type_name("IN");
   proc->add_option("input", process.input, "the same as -i")->type_name("IN");
   proc->add_option("-o,--output", process.output, "audio file to write; type from its extension")
       ->type_name("OUT")
       ->capture_default_str();
   proc->add_flag("--overwrite", process.overwrite, "replace the output file if it exists");
   proc->add_option("-b,--block-size", process.blockSize, "frames per processing call")
       ->type_name("N")
       ->check(CLI::Range(1, 1 << 20).description(""))
       ->capture_default_str();
   proc->add_option("--precision", process.precision, "32 or 64-bit samples")
       ->type_name("32|64")
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

   auto* bench = app.add_subcommand("bench", "time its processing per block size against memcpy");
   addCommon(bench, common);
   bench->add_option("--precision", benchOptions.precision, "32, 64 or both")
       ->type_name("32|64|both")
       ->check(CLI::IsMember({"32", "64", "both"}).description(""))
       ->capture_default_str();
   bench->add_option("--seconds", benchOptions.seconds, "time to spend on each row")
       ->type_name("S")
       ->check(CLI::Range(0.001, 60.0).description(""))
       ->capture_default_str();

   validate::ValidateOptions validation;
   auto* chk = validate::addValidateCommand(app, validation);

   checkCommand(app, argc, argv);
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

   if (list->parsed()) return runList(listJson);
   if (info->parsed()) return runInfo(common);
   if (proc->parsed()) {
      if ((!process.input.empty() || !process.inputOption.empty()) &&
          (seconds->count() > 0 || rate->count() > 0)) {
         throw ToolError(ExitCode::usage, "--seconds and --rate shape the test signal only",
                         "leave them out when processing a file");
      }
      return runProcess(common, process);
   }
   if (bench->parsed()) return runBenchCommand(common, benchOptions);
   if (chk->parsed()) {
      if (!validation.pluginPath.empty()) validation.pluginPath = findPlugin(validation.pluginPath);
      return validate::runValidate(validation);
   }
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
