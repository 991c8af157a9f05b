// SPDX-License-Identifier: MIT
// plughost process: runs an audio file, or a built-in test signal, through a plug-in.

#include "tools/hostlib/audio_file.h"
#include "tools/hostlib/batch_run.h"
#include "tools/hostlib/channel_map.h"
#include "tools/hostlib/file_pipeline.h"
#include "tools/hostlib/midi_file.h"
#include "tools/hostlib/output_file.h"
#include "tools/hostlib/progress_line.h"
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
#include <optional>

namespace plughost {
namespace {

std::string plural(uint64_t n, const char* one, const char* many) {
   return std::to_string(n) + " " + (n == 1 ? one : many);
}

// "1,1 (in.wav's channel 1 into both inputs)": the routing as --map would give it.
std::string mapText(const ChannelMap& map, int fileChannels, const std::string& source) {
   if (map.inputs.empty()) return "none (the plug-in has no inputs)";
   std::string text = map.text();
   if (fileChannels == 0) return text + " (silence into every input)";
   if (map.isIdentity(fileChannels)) return text + " (channel by channel)";
   if (fileChannels == 1 && map.inputs.size() > 1 &&
       std::all_of(map.inputs.begin(), map.inputs.end(),
                   [](const std::vector<int>& terms) { return terms == std::vector<int>{0}; })) {
      return text + " (the one channel into every input)";
   }
   return text + " (" + source + "'s channels, one entry per plug-in input)";
}

// "-6.02, -6.02": each channel's peak in dBFS.
std::string peakText(const std::vector<ChannelLevels>& levels) {
   std::string text;
   for (const auto& l : levels)
      text += (text.empty() ? "" : ", ") + decibels(l.peak);
   return text + " dBFS";
}

// "[##########..............................] 25%": how far a single file has got.
std::string barText(size_t done, size_t total) {
   constexpr size_t kWidth = 40;
   const size_t filled = total == 0 ? kWidth : done * kWidth / total;
   return "[" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "] " +
          std::to_string(total == 0 ? 100 : done * 100 / total) + "%";
}

PipelineSettings pipelineSettings(const ProcessOptions& options) {
   PipelineSettings s;
   s.input = options.input;
   s.output = options.output;
   s.overwrite = options.overwrite;
   s.encoding = options.encoding;
   s.map = options.map;
   s.midi = options.midi;
   s.tail = options.tail;
   s.blockSize = options.blockSize;
   s.precision = options.precision;
   s.seconds = options.seconds;
   s.sampleRate = options.sampleRate;
   return s;
}

// Runs the pipeline, giving its errors the command line's hints.
PipelineReport runPipeline(FilePipeline& pipeline, const std::vector<PluginInstance*>& chain,
                           const PipelineProgress& progress) {
   try {
      return pipeline.run(chain, progress);
   } catch (const NoDoublePrecision& e) {
      throw ToolError(e.code(), e.what(), e.hint() + " (--precision 32)");
   } catch (const NeedsNotes& e) {
      throw ToolError(e.code(), e.what(),
                      "give it notes as a Standard MIDI File with --midi FILE.mid; --tail S "
                      "renders S seconds after the last one");
   }
}

// One file, or the test signal, through the plug-ins of `stages` in series.
int processFile(CommonOptions& common, const ProcessOptions& options,
                std::vector<std::string> stages) {
   FilePipeline pipeline(pipelineSettings(options));
   const AudioFileInfo& info = pipeline.input();
   const auto settings = settingsByStage(common.settings, stages.size());
   const bool chained = stages.size() > 1;
   const bool talk = !options.quiet && !common.json;
   std::vector<std::unique_ptr<PluginInstance>> instances;
   std::vector<PluginInstance*> chain;
   std::vector<std::vector<ParamInfo>> set;
   for (size_t k = 0; k < stages.size(); ++k) {
      auto module = loadPlugin(stages[k], "processing with");
      instances.push_back(std::make_unique<PluginInstance>(
          module, hostSettings(common, static_cast<float>(info.sampleRate), options.blockSize)));
      chain.push_back(instances.back().get());
      set.push_back(applySettings(*instances.back(), settings[k]));
      if (talk) {
         for (const auto& pi : set.back())
            std::cout << (chained ? "stage " + std::to_string(k + 1) + ": " : "") << settingText(pi)
                      << '\n';
      }
   }
   std::cout << std::flush;
   PipelineReport report;
   {
      ProgressLine line(std::cerr, talk && isatty(STDERR_FILENO), STDERR_FILENO);
      line.setDelay(std::chrono::milliseconds(300));
      report = runPipeline(pipeline, chain,
                           [&](size_t done, size_t total) { line.show(barText(done, total)); });
   }
   PluginInstance& p = *chain.front();
   const StageReport& stage = report.stages.front();
   const ChannelMap& map = stage.map;
   const int fileChannels = stage.sourceChannels;
   const int outputs = report.stages.back().outputs;
   const int format = report.outputFormat;
   const size_t total = report.frames;
   const double wallSeconds = report.wallSeconds;
   const auto& notes = pipeline.notes();
   const bool reader = !options.input.empty();
   const std::string& source = stage.source;
   const auto& inLevels = stage.inputLevels;
   const auto& outLevels = report.stages.back().outputLevels;
   const uint64_t clipped = report.clipped;
   const double seconds = report.seconds;
   const double realtime = wallSeconds > 0.0 ? seconds / wallSeconds : INFINITY;
   const std::string clipWarning =
       clipped == 0 ? ""
                    : plural(clipped, "sample", "samples") + " beyond full scale clipped in the " +
                          describeFormat(format) + " output; lower the gain or write -e float";
   if (common.json) {
      JsonWriter j;
      j.beginObject();
      j.key("plugin").value(stages.front());
      j.key("input");
      options.input.empty() ? j.null() : j.value(options.input);
      j.key("midi");
      options.midi.empty() ? j.null() : j.value(options.midi);
      j.key("output").value(options.output);
      j.key("frames").value(static_cast<int64_t>(total));
      j.key("seconds").value(seconds);
      j.key("wallSeconds").value(wallSeconds);
      j.key("realtimeFactor").value(realtime);
      j.key("sampleRate").value(info.sampleRate);
      j.key("inputChannels").value(fileChannels);
      j.key("map").value(map.text());
      j.key("outputChannels").value(outputs);
      j.key("blockSize").value(options.blockSize);
      j.key("precision").value(options.precision);
      j.key("outputFormat").value(describeFormat(format));
      j.key("clippedSamples").value(static_cast<int64_t>(clipped));
      if (!report.formatNote.empty()) j.key("encodingNote").value(report.formatNote);
      if (notes) j.key("midiEvents").value(static_cast<int64_t>(stage.eventsSent));
      j.key("set");
      writeParams(j, set.front());
      j.key("parameters");
      writeParams(j, readParams(p));
      const auto levels = [&](const char* key, const std::vector<ChannelLevels>& all, bool rms) {
         j.key(key).beginArray();
         for (const auto& l : all)
            j.value(rms ? l.rms : l.peak);
         j.endArray();
      };
      j.key("stages").beginArray();
      for (size_t k = 0; k < stages.size(); ++k) {
         const StageReport& r = report.stages[k];
         j.beginObject();
         j.key("plugin").value(stages[k]);
         j.key("name").value(chain[k]->effectName());
         j.key("inputChannels").value(r.sourceChannels);
         j.key("map").value(r.map.text());
         j.key("outputChannels").value(r.outputs);
         j.key("set");
         writeParams(j, set[k]);
         levels("inputPeaks", r.inputLevels, false);
         levels("outputPeaks", r.outputLevels, false);
         j.endObject();
      }
      j.endArray();
      levels("inputPeaks", inLevels, false);
      levels("outputPeaks", outLevels, false);
      levels("inputRms", inLevels, true);
      levels("outputRms", outLevels, true);
      j.endObject();
      std::cout << j.text() << '\n';
   } else if (talk) {
      TextTable summary;
      summary.add({"input", reader  ? options.input + " (" + describeFormat(info.format) + ")"
                            : notes ? "none"
                                    : "built-in test signal (" + std::to_string(fileChannels) +
                                          " sines at -6.02 dBFS)"});
      if (notes) {
         summary.add({"notes", options.midi + " (" + plural(stage.eventsSent, "event", "events") +
                                   ", " + plural(notes->tempos.size(), "tempo", "tempos") +
                                   (notes->skipped ? ", " + std::to_string(notes->skipped) +
                                                         " system messages not sent"
                                                   : "") +
                                   ")"});
      }
      summary.add({"channel map", mapText(map, fileChannels, source)});
      for (size_t k = 0; chained && k < stages.size(); ++k) {
         const StageReport& r = report.stages[k];
         summary.add({"stage " + std::to_string(k + 1),
                      "'" + chain[k]->effectName() + "' (" + stages[k] +
                          "): " + std::to_string(r.sourceChannels) + " in " +
                          (k == 0 ? "" : "(" + mapText(r.map, r.sourceChannels, r.source) + ") ") +
                          "-> " + plural(static_cast<uint64_t>(r.outputs), "channel", "channels") +
                          ", peak out " + peakText(r.outputLevels)});
      }
      summary.add({"output", options.output + " (" + describeFormat(format) + ", " +
                                 plural(static_cast<uint64_t>(outputs), "channel", "channels") +
                                 ")"});
      if (!report.formatNote.empty()) summary.add({"encoding", report.formatNote});
      summary.add({"frames", std::to_string(total) + " at " + std::to_string(info.sampleRate) +
                                 " Hz, " + std::to_string(options.precision) + "-bit blocks of " +
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
      if (!clipWarning.empty()) std::cout << "warning: " << clipWarning << '\n';
   } else if (!clipWarning.empty()) {
      std::cerr << "plughost: warning: " << clipWarning << '\n';
   }
   return 0;
}

} // namespace

CLI::App* addProcessCommand(CLI::App& app, CommonOptions& common, ProcessOptions& options) {
   auto* proc = app.add_subcommand("process", "run an audio file or a test signal through it");
   addCommon(proc, common);
   proc->get_option("plugin")->required(false);
   proc->add_option("-P,--plugin", options.chain,
                    "a chain: -P A -P B runs A, then B; the first positional is then IN")
       ->type_name("PLUGIN")
       ->allow_extra_args(false);
   proc->add_option("-i,--input", options.inputOption,
                    "audio files or folders to read; without any a built-in test signal")
       ->type_name("IN");
   proc->add_option("input", options.input, "the same as -i")->type_name("IN");
   proc->get_help_ptr()->group(""); // the footer says how to get help
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
       proc->add_option("--rate", options.sampleRate, "sample rate without an input file")
           ->type_name("HZ")
           ->check(CLI::Range(1, 768000).description(""))
           ->capture_default_str();
   proc->add_option("--map", options.map,
                    "file channels per plug-in input: '1,1', 'L+R', '2,1', 0 for silence")
       ->type_name("MAP");
   proc->add_option("--midi", options.midi, "notes for an instrument: a Standard MIDI File")
       ->type_name("FILE.mid");
   options.tailOption =
       proc->add_option("--tail", options.tail, "seconds rendered after the last MIDI event")
           ->type_name("S")
           ->check(CLI::Range(0.0, 3600.0).description(""))
           ->capture_default_str();
   proc->add_flag("-q,--quiet", options.quiet, "print nothing on success");
   proc->add_option("-O,--output-dir", options.outdir,
                    "write each input into this folder, subfolders mirrored")
       ->type_name("DIR");
   proc->add_flag("-r,--recursive", options.recursive, "read the subfolders of input folders");
   proc->add_option("--ext", options.extension, "container of the outputs: wav, flac, mp3, ...")
       ->type_name("EXT");
   proc->add_option("--manifest", options.manifest,
                    "CSV or JSON: input, output and parameters per file")
       ->type_name("FILE");
   proc->add_option("-j,--jobs", options.jobs, "worker processes; default one per core")
       ->type_name("N")
       ->check(CLI::Range(1, 1024).description(""));
   proc->add_option("--timeout", options.timeout, "seconds a file may take before it fails")
       ->type_name("S")
       ->check(CLI::Range(0.0, 1e6).description(""));
   proc->add_flag("--skip-existing", options.skipExisting,
                  "leave out inputs whose output exists: resumes a run");

   return proc;
}

int runProcess(CommonOptions& common, ProcessOptions& options) {
   // With a chain given by -P, the first positional names the input, not the plug-in.
   std::vector<std::string> stages = options.chain;
   if (stages.empty()) {
      if (common.plugin.empty()) {
         throw ToolError(ExitCode::usage, "no plug-in given",
                         "name it first (plughost process PLUGIN IN), or chain several with -P");
      }
      stages.push_back(common.plugin);
   } else if (!common.plugin.empty()) {
      if (!options.input.empty()) {
         throw ToolError(ExitCode::usage,
                         "'" + common.plugin + "' and '" + options.input +
                             "' given besides the chain of -P",
                         "give the chain with -P and the input files with -i or after them");
      }
      options.input = common.plugin;
   }
   common.plugin = stages.front();
   if (!options.input.empty())
      options.inputOption.insert(options.inputOption.begin(), options.input);
   const bool many =
       !options.outdir.empty() || !options.manifest.empty() || options.inputOption.size() > 1;
   if (many) return runBatch(common, options, stages);
   options.input = options.inputOption.empty() ? "" : options.inputOption.front();
   if (!options.input.empty() &&
       (options.secondsOption->count() > 0 || options.rateOption->count() > 0)) {
      throw ToolError(ExitCode::usage, "--seconds and --rate shape the test signal only",
                      "leave them out when processing a file");
   }
   if (!options.midi.empty() && options.secondsOption->count() > 0) {
      throw ToolError(ExitCode::usage, "--seconds shapes the test signal only",
                      "with --midi the length is that of the notes plus --tail");
   }
   if (options.midi.empty() && options.tailOption->count() > 0) {
      throw ToolError(ExitCode::usage, "--tail extends the notes of --midi only",
                      "give a MIDI file with --midi, or leave out --tail");
   }
   if (!options.input.empty()) {
      std::error_code error;
      if (std::filesystem::equivalent(options.input, options.output, error)) {
         throw ToolError(ExitCode::usage, "the output file is the input file",
                         "write the result to a new file with -o");
      }
   }
   return processFile(common, options, stages);
}

} // namespace plughost
