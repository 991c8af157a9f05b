// SPDX-License-Identifier: MIT
// plughost analyze: the command line, its short table, and the dispatch to comparison, baseline,
// collection and report.
#include "tools/plughost/analyze_command.h"

#include "tools/hostlib/plugin_search.h"
#include "tools/hostlib/progress_line.h"
#include "tools/hostlib/tool_error.h"
#include "tools/plughost/text_table.h"

#include <CLI/CLI.hpp>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace plughost::analyze {
namespace {

namespace analysis = trimwise::host::analysis;

std::string format(const char* pattern, double value) {
   char text[64];
   std::snprintf(text, sizeof text, pattern, value);
   return text;
}

// The side a setting's "N:" prefix picks (1 or 2), or 0 without one. The prefix is digits
// before a colon that comes before any '=', so "2:Gain=-6dB" is for side 2 and "Gain=2:1" for
// both.
int sideOf(const std::string& setting, std::string* rest) {
   const size_t colon = setting.find(':');
   const size_t equals = setting.find('=');
   if (colon == std::string::npos || colon == 0 || (equals != std::string::npos && equals < colon))
      return 0;
   for (size_t i = 0; i < colon; ++i) {
      if (!std::isdigit(static_cast<unsigned char>(setting[i]))) return 0;
   }
   if (rest) *rest = setting.substr(colon + 1);
   return std::stoi(setting.substr(0, colon));
}

std::vector<std::string> splitNames(const std::string& list) {
   std::vector<std::string> names;
   std::stringstream in(list);
   for (std::string name; std::getline(in, name, ',');) {
      if (!name.empty()) names.push_back(name);
   }
   return names;
}

std::vector<unsigned char> readBytes(const std::string& path) {
   std::ifstream in(path, std::ios::binary);
   if (!in) {
      throw ToolError(ExitCode::file, "cannot read the state file '" + path + "'",
                      "give a file written by plughost.Plugin.save_state");
   }
   return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Json readDocument(const std::string& path) {
   std::ifstream in(path);
   if (!in) {
      throw ToolError(ExitCode::file, "cannot read the baseline '" + path + "'",
                      "give a file written by plughost analyze --json");
   }
   const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
   Json doc = Json::parse(text, nullptr, false);
   if (doc.is_discarded() || !doc.is_object()) {
      throw ToolError(ExitCode::usage, "the baseline '" + path + "' holds no analysis",
                      "give a file written by plughost analyze --json");
   }
   return doc;
}

// ---- The short table.

std::string num(const Json& v, const char* pattern = "%.2f") {
   return v.is_number() ? format(pattern, v.get<double>()) : "-";
}

// The index of the grid entry nearest `target` (in ratio), or npos.
size_t nearest(const Json& grid, double target) {
   size_t best = std::string::npos;
   double distance = INFINITY;
   for (size_t i = 0; grid.is_array() && i < grid.size(); ++i) {
      if (!grid[i].is_number() || grid[i].get<double>() <= 0) continue;
      const double d = std::fabs(std::log(grid[i].get<double>() / target));
      if (d < distance) {
         distance = d;
         best = i;
      }
   }
   return best;
}

std::string linearText(const Json& s) {
   std::string text;
   const Json& f = s.value("frequency_hz", Json::array());
   const Json& m = s.contains("magnitude_db") ? s["magnitude_db"] : Json();
   for (const double target : {100.0, 1000.0, 10000.0}) {
      const size_t i = nearest(f, target);
      if (i == std::string::npos || !m.is_array() || m.empty()) continue;
      text +=
          (text.empty() ? "" : ", ") +
          format(target < 1000 ? "%.0f Hz " : "%.0f kHz ", target < 1000 ? target : target / 1000) +
          num(m[0][i]) + " dB";
   }
   if (s.contains("confidence")) {
      const Json& c = s["confidence"];
      text += c.value("time_variant", false) ? "; changes over time" : "; time-invariant";
      text += c.value("level_dependent", false) ? ", level-dependent" : ", linear";
   }
   return text;
}

std::string keyNumbers(const std::string& key, const Json& s) {
   if (s.value("status", "") != "ok") return s.value("reason", "");
   if (key == "latency") {
      return "reported " + num(s.value("reported", Json()), "%.0f") + ", measured " +
             (s["measured"].is_number() ? num(s["measured"], "%.0f") + " frames"
                                        : "none (" + s.value("measured_reason", "") + ")");
   }
   if (key == "linear") return linearText(s);
   if (key == "thd") {
      const Json& points = s.value("points", Json::array());
      const Json* best = nullptr;
      for (const auto& p : points) {
         if (!best || std::fabs(std::log(p.value("frequency_hz", 1.0) / 1000.0)) +
                              std::fabs(p.value("level_dbfs", 0.0) + 6) / 10 <
                          std::fabs(std::log(best->value("frequency_hz", 1.0) / 1000.0)) +
                              std::fabs(best->value("level_dbfs", 0.0) + 6) / 10)
            best = &p;
      }
      std::string text = best ? num((*best).value("frequency_hz", Json()), "%.0f Hz at ") +
                                    num((*best).value("level_dbfs", Json()), "%.0f dBFS: THD ") +
                                    num((*best).value("thd_db", Json()), "%.1f dB")
                              : std::string("no points");
      return text + ", analyzer floor " + num(s.value("floor_db", Json()), "%.0f dB");
   }
   if (key == "dynamics") {
      // A linear plug-in has no times to give: say why rather than print dashes.
      if (!s.value("attack_ms", Json()).is_number() && !s.value("release_ms", Json()).is_number())
         return "no attack or release (" + s.value("attack_ms_reason", "") + ")";
      return "attack " + num(s.value("attack_ms", Json()), "%.3g ms") + ", release " +
             num(s.value("release_ms", Json()), "%.3g ms");
   }
   if (key == "aliasing") {
      const Json& points = s.value("points", Json::array());
      Json f = Json::array();
      for (const auto& p : points)
         f.push_back(p.value("frequency_hz", Json()));
      const size_t i = nearest(f, 10000.0);
      if (i == std::string::npos) return "no points";
      return num(points[i].value("frequency_hz", Json()), "%.0f Hz: ") +
             num(points[i].value("alias_db", Json()), "%.1f dB");
   }
   if (key == "time") {
      return "tail " + std::string(s.value("tail_s_60db_capped", false) ? ">= " : "") +
             num(s.value("tail_s_60db", Json()), "%.3g s") + " to -60 dB (reports " +
             num(s.value("tail_reported", Json()), "%.0f") + " frames), noise " +
             num(s.value("noise_floor_dbfs", Json()), "%.1f dBFS");
   }
   if (key == "cost") {
      const Json& sizes = s.value("block_sizes", Json::array());
      const Json& factor = s.value("realtime_factor", Json::object());
      std::string text;
      for (const auto& [precision, list] : factor.items()) {
         for (size_t i = 0; i < sizes.size() && i < list.size(); ++i) {
            if (sizes[i] == 512)
               text += (text.empty() ? "" : ", ") + precision + "-bit " + num(list[i], "%.0fx");
         }
      }
      return (text.empty() ? "see --json" : text + " real time at 512 frames") +
             (s.value("machine_loaded", false) ? " (machine loaded)" : "");
   }
   if (key == "instrument") {
      return "level " + num(s.value("level_dbfs", Json()), "%.1f dBFS") + ", peak " +
             num(s.value("peak_dbfs", Json()), "%.1f dBFS");
   }
   return "";
}

void printTable(const Json& doc) {
   const Json& p = doc["plugin"];
   const Json& settings = doc["settings"];
   std::cout << p.value("name", "") << (p.value("vendor", "").empty() ? "" : " by ")
             << p.value("vendor", "") << ", '" << p.value("path", "") << "'\n"
             << num(settings.value("sample_rate", Json()), "%.0f Hz, ")
             << settings.value("precision", 0) << "-bit, blocks of "
             << settings.value("block_size", 0) << " frames\n\n";
   TextTable table({"measurement", "status", "key numbers"}, "lll");
   for (const auto& [key, section] : doc.items()) {
      if (!section.is_object() || !section.contains("status")) continue;
      table.add({key, section.value("status", ""), keyNumbers(key, section)});
   }
   std::cout << table.text();
   const Json& findings = doc.value("findings", Json::array());
   if (!findings.empty()) {
      std::cout << "\nfindings:\n";
      for (const auto& f : findings)
         std::cout << "  " << f.value("measurement", "") << ": " << f.value("text", "") << '\n';
   }
}

// True when a measurement could not be made: it failed, crashed or hung.
bool broken(const Json& doc) {
   for (const auto& [key, section] : doc.items()) {
      if (!section.is_object()) continue;
      const std::string status = section.value("status", "");
      if (status == "failed" || status == "crashed" || status == "timeout") return true;
   }
   return false;
}

// One analysis with a progress line on a terminal.
Json measure(const std::string& plugin, const AnalysisOptions& options, bool talk) {
   ProgressLine line(std::cerr, talk && isatty(STDERR_FILENO), STDERR_FILENO);
   const std::string name = plugin.substr(plugin.find_last_of('/') + 1);
   return analysis::analyze(plugin, options, [&](const std::string& measurement) {
      line.show("analyzing " + name + ": " + measurement, true);
   });
}

} // namespace

AnalysisOptions sideOptions(const AnalyzeOptions& options, int side) {
   AnalysisOptions out = options.analysis;
   out.settings.clear();
   for (const auto& setting : options.settings) {
      if (sideOf(setting, nullptr) == 0) out.settings.push_back(setting);
   }
   for (const auto& setting : options.settings) {
      std::string rest;
      const int s = sideOf(setting, &rest);
      if (s != 0 && s == side) out.settings.push_back(rest);
   }
   return out;
}

CLI::App* addAnalyzeCommand(CLI::App& app, AnalyzeOptions& options) {
   auto* command = app.add_subcommand(
       "analyze", "measure what a plug-in does to sound: response, latency, distortion, "
                  "dynamics, aliasing, tail, cost");
   command
       ->add_option("plugin", options.plugins,
                    "the plug-in (path or name); two with --compare; several: a collection")
       ->type_name("PLUGIN...");
   command
       ->add_option("--what", options.what,
                    "the measurements, comma-separated: linear,thd,dynamics,aliasing,time,cost "
                    "(default: all)")
       ->type_name("LIST");
   command->add_flag("--json", options.json, "print the whole result as JSON on one line");
   command->add_option("--rate", options.analysis.sampleRate, "sample rate")
       ->type_name("HZ")
       ->check(CLI::Range(1.0, 768000.0).description(""))
       ->capture_default_str();
   command->add_option("-b,--block-size", options.analysis.blockSize, "frames per processing call")
       ->type_name("N")
       ->check(CLI::Range(1, 1 << 16).description(""))
       ->capture_default_str();
   command
       ->add_option("--precision", options.analysis.precision,
                    "32 or 64-bit samples (default: 64 where the plug-in can)")
       ->type_name("BITS")
       ->check(CLI::IsMember({32, 64}).description(""));
   command
       ->add_option("-p,--param", options.settings,
                    "set a parameter first: by index or name, to 0..1 or e.g. -6dB; with "
                    "--compare, 1: or 2: before it sets one side only")
       ->type_name("[N:]NAME|INDEX=VALUE")
       // One setting per --param, so that a positional after it stays a positional.
       ->allow_extra_args(false);
   command
       ->add_option("--state", options.stateFile,
                    "restore this state first (as plughost.Plugin.save_state writes it)")
       ->type_name("FILE");
   command->add_flag("--compare", options.compare,
                     "measure two plug-ins, or one at two settings, alike and show the difference");
   command
       ->add_option("--baseline", options.baseline,
                    "check against an earlier --json result; exit 1 on a regression")
       ->type_name("OLD.json");
   command
       ->add_option("--tolerance", options.tolerances,
                    "with --baseline: loosen or tighten one tolerance (magnitude, phase, latency, "
                    "thd, dynamics, dynamics_time, aliasing, tail, noise_floor, instrument, cost)")
       ->type_name("NAME=VALUE");
   command->add_option("--report", options.report, "write a self-contained HTML report")
       ->type_name("OUT.html");
   command->add_flag("--validate", options.validate,
                     "collections: add each plug-in's validate results to the report");
   command->add_flag("--all", options.all, "analyze every plug-in on the search path");
   command->add_option("-j,--jobs", options.jobs, "plug-ins at once (default: one per core)")
       ->type_name("N")
       ->check(CLI::NonNegativeNumber.description(""));
   command
       ->add_option("--timeout", options.analysis.timeoutSeconds,
                    "seconds each measurement may take")
       ->type_name("S")
       ->check(CLI::PositiveNumber.description(""))
       ->capture_default_str();
   command->add_option("--tail-cap", options.analysis.tailCapSeconds, "the longest tail looked for")
       ->type_name("S")
       ->check(CLI::Range(0.1, 600.0).description(""))
       ->capture_default_str();
   command->add_option("--level", options.analysis.sweepLevelDbfs, "level of the sweep")
       ->type_name("DBFS")
       ->check(CLI::Range(-60.0, 0.0).description(""))
       ->capture_default_str();
   command
       ->add_option("--smoothing", options.analysis.smoothing,
                    "smooth the response over 1/N octave (default: none)")
       ->type_name("N")
       ->check(CLI::Range(1, 48).description(""));
   command->add_flag("--side-chain", options.analysis.sideChain,
                     "feed the stimulus to every input, side-chains included");
   return command;
}

int runAnalyze(AnalyzeOptions& options) {
   auto& a = options.analysis;
   a.what = splitNames(options.what);
   for (const auto& name : a.what) {
      if (std::find(analysis::kMeasurements.begin(), analysis::kMeasurements.end(), name) ==
          analysis::kMeasurements.end()) {
         throw ToolError(ExitCode::usage, "there is no measurement '" + name + "'",
                         "--what takes linear, thd, dynamics, aliasing, time and cost, "
                         "comma-separated");
      }
   }
   if (!options.stateFile.empty()) a.state = readBytes(options.stateFile);
   if (options.plugins.empty() && !options.all) {
      throw ToolError(ExitCode::usage, "analyze needs a plug-in",
                      "run: plughost analyze PLUGIN.so, or --all for the search path");
   }
   for (const auto& setting : options.settings) {
      const int side = sideOf(setting, nullptr);
      if (side != 0 && (!options.compare || side > 2)) {
         throw ToolError(ExitCode::usage,
                         "the setting '" + setting + "' is for side " + std::to_string(side) +
                             (options.compare ? ", but a comparison has sides 1 and 2"
                                              : ", but there is no comparison"),
                         "prefix settings with 1: or 2: only with --compare");
      }
   }
   Tolerances tolerances = defaultTolerances();
   for (const auto& assignment : options.tolerances)
      setTolerance(tolerances, assignment);
   if (!options.report.empty()) checkReportTools(options.report); // before measuring
   const bool talk = !options.json;

   if (options.compare) {
      if (options.plugins.empty() || options.plugins.size() > 2 || options.all) {
         throw ToolError(ExitCode::usage, "--compare takes one plug-in or two",
                         "compare two plug-ins, or one at --param 1:... against --param 2:...");
      }
      const std::string first = findPluginPath(options.plugins.front());
      const std::string second =
          options.plugins.size() == 2 ? findPluginPath(options.plugins.back()) : first;
      const Json docA = measure(first, sideOptions(options, 1), talk);
      const Json docB = measure(second, sideOptions(options, 2), talk);
      const Json doc = compareDocuments(docA, docB);
      if (!options.report.empty()) writeReport(doc, options.report);
      if (options.json) {
         std::printf("%s\n", jsonLine(doc).c_str());
      } else {
         std::cout << "a: ";
         printTable(docA);
         std::cout << "\nb: ";
         printTable(docB);
         const Json& difference = doc["compare"].value("difference", Json::object());
         if (difference.contains("linear")) {
            Json linear = difference["linear"];
            linear.erase("confidence");
            std::cout << "\nb - a: " << linearText(linear) << '\n';
         }
      }
      return broken(docA) || broken(docB) ? 1 : 0;
   }

   if (options.plugins.size() > 1 || options.all) {
      return runCollection(options, collectionPlugins(options.plugins, options.all));
   }

   const std::string plugin = findPluginPath(options.plugins.front());
   Json doc;
   try {
      doc = measure(plugin, sideOptions(options, 0), talk);
   } catch (const trimwise::host::BadArgument& e) {
      throw trimwise::host::BadArgument(e.what(), commandLineHint(e.hint()));
   }
   if (!options.report.empty()) writeReport(doc, options.report);
   if (options.json) {
      std::printf("%s\n", jsonLine(doc).c_str());
   } else {
      printTable(doc);
   }
   int code = broken(doc) ? 1 : 0;
   if (!options.baseline.empty()) {
      const auto moved = baselineRegressions(readDocument(options.baseline), doc, tolerances);
      if (!moved.empty()) code = 1;
      std::ostream& out = options.json ? std::cerr : std::cout;
      if (!options.json) out << '\n';
      for (const auto& line : moved)
         out << "regression: " << line << '\n';
      if (moved.empty() && !options.json) out << "no regression against the baseline\n";
   }
   return code;
}

} // namespace plughost::analyze
