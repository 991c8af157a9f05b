// SPDX-License-Identifier: MIT
// Collections: several plug-ins analysed at once on the workers validate's collections use, each
// plug-in in a worker of its own with a time limit, so that one that crashes or hangs ends only
// its own analysis. Prints a table, or one analysis document per line (--json); with --report
// writes one HTML report per plug-in into a folder beside the index page, and the index.
//
// The index page is drawn from this document (writeReport takes it like an analysis):
//
//   {"schema": 1,
//    "collection": [
//      {"plugin": "/usr/lib/vst/MVerb-vst.so",    the path analysed
//       "name": "MVerb",                           as the plug-in calls itself (else the file name)
//       "report": "index-reports/MVerb-vst.html",  relative to the index page; null when no
//                                                  report was written, with "report_reason"
//       "status": "ok",                            "ok", "failed", "crashed", "timeout",
//                                                  "not_run" (the worst of its sections), or
//                                                  "not_loadable"
//       "reason": "...",                           only when status is not "ok": what ended it
//       "findings": [{"measurement": "latency", "text": "..."}],  as its document holds them
//       "latency": {"reported": 0, "measured": 64, "flagged": true},        when measured
//       "tail": {"reported_s": 0.1, "measured_s_60db": 1.2, "flagged": true},  when measured
//       "seconds": 8.2,                            wall time of its analysis
//       "validate": {...}}                         with --validate only: validate's --json record
//    ]}
#include "tools/hostlib/job_pool.h"
#include "tools/hostlib/progress_line.h"
#include "tools/hostlib/tool_error.h"
#include "tools/plughost/analyze_command.h"
#include "tools/plughost/analyze_points.h"
#include "tools/plughost/text_table.h"
#include "tools/plughost/validate_command.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

namespace plughost::analyze {
namespace {

namespace fs = std::filesystem;
using trimwise::host::analysis::kSchema;

// The sections in the order their status decides a plug-in's: the first that did not end well.
const char* const kSections[] = {"latency",  "linear", "thd",  "dynamics",
                                 "aliasing", "time",   "cost", "instrument"};

// "ok", or the worst way one of the document's sections ended, with its reason.
std::pair<std::string, std::string> statusOf(const Json& document) {
   if (document.contains("status") && field(document, "status") != "ok") {
      return {field(document, "status").get<std::string>(),
              field(document, "reason").is_string() ? field(document, "reason").get<std::string>()
                                                    : ""};
   }
   for (const char* worst : {"crashed", "timeout", "failed", "not_run"}) {
      for (const char* name : kSections) {
         const Json& section = field(document, name);
         if (field(section, "status") == worst) {
            const Json& reason = field(section, "reason");
            return {worst, std::string(name) + ": " +
                               (reason.is_string() ? reason.get<std::string>() : worst)};
         }
      }
   }
   return {"ok", ""};
}

// One plug-in's entry of the index: what the report helper's index page shows.
Json indexEntry(const std::string& plugin, const Json& document, const std::string& report,
                const std::string& reportReason) {
   const auto [status, reason] = statusOf(document);
   const Json& name = field(field(document, "plugin"), "name");
   Json entry = {{"plugin", jsonText(plugin)},
                 {"name", name.is_string() && !name.get<std::string>().empty()
                              ? name
                              : jsonText(fs::path(plugin).stem().string())}};
   if (report.empty()) {
      entry["report"] = nullptr;
      entry["report_reason"] = reportReason.empty() ? "no report was asked for" : reportReason;
   } else {
      entry["report"] = report;
   }
   entry["status"] = status;
   if (status != "ok") entry["reason"] = jsonText(reason);
   entry["findings"] =
       field(document, "findings").is_array() ? field(document, "findings") : Json::array();
   if (const Json* latency = measuredSection(document, "latency")) {
      entry["latency"] = {{"reported", field(*latency, "reported")},
                          {"measured", field(*latency, "measured")},
                          {"flagged", field(*latency, "flagged")}};
   }
   if (const Json* time = measuredSection(document, "time")) {
      entry["tail"] = {{"reported_s", field(*time, "tail_reported_s")},
                       {"measured_s_60db", field(*time, "tail_s_60db")},
                       {"flagged", field(*time, "tail_flagged")}};
   }
   entry["seconds"] = field(document, "seconds");
   if (document.contains("validate")) entry["validate"] = field(document, "validate");
   return entry;
}

// The document of a plug-in whose analysis ended without one.
Json problemDocument(const std::string& plugin, const std::string& status,
                     const std::string& reason, const std::string& hint) {
   Json document = {{"schema", kSchema},
                    {"plugin", {{"path", jsonText(plugin)}}},
                    {"status", status},
                    {"reason", jsonText(reason)}};
   if (!hint.empty()) document["hint"] = jsonText(hint);
   document["findings"] = Json::array(
       {{{"measurement", "analysis"}, {"severity", "failure"}, {"text", jsonText(reason)}}});
   return document;
}

double validateScale() {
   const char* text = std::getenv("PLUGHOST_VALIDATE_SCALE");
   char* end = nullptr;
   const double v = text ? std::strtod(text, &end) : 0.0;
   return text && *end == '\0' && v > 0 && v <= 1000 ? v : 1.0;
}

// validate's record of the plug-in at host level, run here in the worker: each check again in
// a child of its own.
Json validateRecord(const std::string& plugin, double timeoutSeconds) {
   using namespace plughost::validate;
   ValidationSettings settings;
   settings.scale = validateScale();
   settings.timeoutSeconds = timeoutSeconds;
   PluginReport report;
   try {
      requireLoadable(plugin, settings.timeoutSeconds);
      report = validatePlugin(plugin, settings, selectChecks("", ""));
   } catch (const ToolError& e) {
      report.plugin = plugin;
      report.loadable = false;
      report.problem = e.what();
      report.hint = e.hint();
   }
   return recordOf(report, settings);
}

// Where each plug-in's report goes, relative to the index's folder: "<index>-reports/<file
// name>.html", numbered where two plug-ins share a file name.
std::vector<std::string> reportNames(const std::string& index,
                                     const std::vector<std::string>& plugins) {
   const std::string folder = fs::path(index).stem().string() + "-reports";
   std::set<std::string> taken;
   std::vector<std::string> names;
   for (const auto& plugin : plugins) {
      const std::string stem = fs::path(plugin).stem().string();
      std::string name = folder + "/" + stem + ".html";
      for (int n = 2; !taken.insert(name).second; ++n)
         name = folder + "/" + stem + "-" + std::to_string(n) + ".html";
      names.push_back(name);
   }
   return names;
}

std::string text(const Json& value) {
   return value.is_string() ? value.get<std::string>() : value.dump();
}

// Plug-ins in a table go by file name: several may call themselves alike.
std::string fileName(const Json& path) {
   return fs::path(text(path)).stem().string();
}

std::string numberText(const Json& value, const char* pattern) {
   return value.is_number() ? printed(pattern, value.get<double>()) : "-";
}

void printTable(const std::vector<Json>& documents, const std::vector<Json>& entries) {
   TextTable table(
       {"plug-in", "status", "latency rep/meas", "tail rep/meas (s)", "findings", "time"},
       "llrrrr");
   for (size_t i = 0; i < entries.size(); ++i) {
      const Json& e = entries[i];
      const Json& latency = field(e, "latency");
      const Json& tail = field(e, "tail");
      table.add({fileName(field(e, "plugin")), text(field(e, "status")),
                 latency.is_object() ? numberText(field(latency, "reported"), "%.0f") + " / " +
                                           numberText(field(latency, "measured"), "%.0f")
                                     : "",
                 tail.is_object() ? numberText(field(tail, "reported_s"), "%.3g") + " / " +
                                        numberText(field(tail, "measured_s_60db"), "%.3g")
                                  : "",
                 std::to_string(field(e, "findings").size()),
                 numberText(field(documents[i], "seconds"), "%.1f s")});
   }
   std::printf("%s", table.text().c_str());
   for (size_t i = 0; i < entries.size(); ++i) {
      for (const Json& finding : field(entries[i], "findings")) {
         std::printf("%s: %s\n", fileName(field(entries[i], "plugin")).c_str(),
                     text(field(finding, "text")).c_str());
      }
   }
}

} // namespace

int runCollection(const AnalyzeOptions& options, const std::vector<std::string>& plugins) {
   const AnalysisOptions analysis = sideOptions(options, 0);
   const std::vector<std::string> reports = options.report.empty()
                                                ? std::vector<std::string>(plugins.size())
                                                : reportNames(options.report, plugins);
   const fs::path reportFolder = fs::path(options.report).parent_path();
   if (!options.report.empty()) {
      std::error_code error;
      fs::create_directories(reportFolder / fs::path(reports.front()).parent_path(), error);
      if (error) {
         throw ToolError(ExitCode::file,
                         "cannot create the folder for the reports beside '" + options.report +
                             "': " + error.message(),
                         "check that the folder is writable");
      }
   }

   // In the worker: the plug-in's whole analysis (each measurement once more in a child of its
   // own), its validate record, its report. The answer is the document, with
   // "report_reason" when its report could not be written.
   const auto work = [&](const std::string& job, JobContext&) {
      const size_t index = std::stoul(job);
      const std::string& plugin = plugins[index];
      const auto start = std::chrono::steady_clock::now();
      Json document;
      try {
         document = trimwise::host::analysis::analyze(plugin, analysis);
      } catch (const trimwise::host::PluginTimeout& e) {
         document = problemDocument(plugin, "timeout", e.what(), e.hint());
      } catch (const trimwise::host::Error& e) {
         using trimwise::host::ErrorKind;
         document = problemDocument(plugin,
                                    e.kind() == ErrorKind::load    ? "not_loadable"
                                    : e.kind() == ErrorKind::crash ? "crashed"
                                                                   : "failed",
                                    e.what(), e.hint());
      } catch (const std::exception& e) {
         document = problemDocument(plugin, "failed", e.what(), "");
      }
      document["seconds"] = jsonNumber(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      if (options.validate) document["validate"] = validateRecord(plugin, analysis.timeoutSeconds);
      if (!options.report.empty() && document.contains("settings")) {
         try {
            writeReport(document, (reportFolder / reports[index]).string());
            document["report_written"] = true;
         } catch (const std::exception& e) {
            document["report_reason"] = jsonText(e.what());
         }
      }
      return jsonLine(document);
   };
   JobPool::Options poolOptions;
   poolOptions.workers = options.jobs > 0 ? size_t(options.jobs) : 0;
   // Every measurement has the time limit of one, and the validation as much again.
   const double perPlugin = analysis.timeoutSeconds * double(std::size(kSections) + 2);
   poolOptions.timeoutSeconds = options.validate ? 2 * perPlugin : perPlugin;
   JobPool pool(work, poolOptions);

   std::vector<Json> documents(plugins.size());
   size_t done = 0, broken = 0;
   ProgressLine progress(std::cerr, !options.json && ::isatty(STDERR_FILENO), STDERR_FILENO);
   const auto show = [&] {
      progress.show("analysed " + std::to_string(done) + "/" + std::to_string(plugins.size()) +
                        " plug-ins, " + std::to_string(broken) + " did not finish",
                    true);
   };
   JobPool::Events events;
   events.done = [&](size_t index, const JobOutcome& outcome) {
      Json& document = documents[index];
      if (outcome.ok()) {
         document = Json::parse(outcome.answer, nullptr, false);
         if (document.is_discarded()) {
            document = problemDocument(plugins[index], "failed",
                                       "its worker answered no JSON document", "");
         }
      } else {
         // The worker itself died or ran out of time, outside any one measurement's child.
         document = problemDocument(
             plugins[index], outcome.status == JobOutcome::Status::timedOut ? "timeout" : "crashed",
             "analysing it " + outcome.problem(poolOptions.timeoutSeconds),
             "analyse it alone to see which measurement: plughost analyze " + plugins[index]);
         document["seconds"] = jsonNumber(outcome.seconds);
      }
      ++done;
      broken += statusOf(document).first != "ok";
      show();
   };
   std::vector<std::string> jobs;
   for (size_t i = 0; i < plugins.size(); ++i)
      jobs.push_back(std::to_string(i));
   show();
   pool.run(jobs, events);
   progress.clear();

   std::vector<Json> entries;
   for (size_t i = 0; i < plugins.size(); ++i) {
      Json& document = documents[i];
      const bool written = field(document, "report_written") == true;
      std::string reason = field(document, "report_reason").is_string()
                               ? field(document, "report_reason").get<std::string>()
                               : "";
      if (!options.report.empty() && !written && reason.empty()) {
         reason = "the analysis ended before a report could be written";
      }
      if (document.is_object()) {
         document.erase("report_written");
         document.erase("report_reason");
      }
      entries.push_back(indexEntry(plugins[i], document, written ? reports[i] : "", reason));
   }
   if (!options.report.empty()) {
      Json collection = Json::array();
      for (const Json& entry : entries)
         collection.push_back(entry);
      writeReport({{"schema", kSchema}, {"collection", std::move(collection)}}, options.report);
   }
   if (options.json) {
      for (const Json& document : documents)
         std::printf("%s\n", jsonLine(document).c_str());
   } else {
      printTable(documents, entries);
      std::printf("%zu plug-ins analysed: %zu finished, %zu did not\n", plugins.size(),
                  plugins.size() - broken, broken);
      if (!options.report.empty()) std::printf("wrote %s\n", options.report.c_str());
   }
   return broken > 0 ? static_cast<int>(ExitCode::failed) : 0;
}

} // namespace plughost::analyze
