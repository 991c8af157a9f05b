// SPDX-License-Identifier: MIT
// `plughost analyze`: measures one plug-in, two side by side (--compare), or a collection, and
// prints a short table, the JSON document (--json), checks it against a baseline (--baseline),
// or draws it as an HTML report (--report).
#pragma once

#include "tools/hostlib/analysis/analysis.h"
#include "tools/plughost/common.h"

#include <map>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace plughost::analyze {

using trimwise::host::analysis::AnalysisOptions;
using trimwise::host::analysis::Json;

struct AnalyzeOptions {
   std::vector<std::string> plugins;  // one; two with --compare; several for a collection
   std::vector<std::string> settings; // --param, "N:" before a setting picks a side of --compare
   std::string what;                  // comma-separated measurement names; empty: all
   bool json = false;
   bool compare = false;
   std::string baseline;                // a JSON document of an earlier run to check against
   std::vector<std::string> tolerances; // --tolerance NAME=VALUE for --baseline
   std::string report;                  // write the HTML report here
   bool validate = false; // collections: add each plug-in's validate results to the report
   bool all = false;      // every plug-in on the search path
   int jobs = 0;          // plug-ins at once in a collection; 0: one per core
   std::string stateFile; // a state (as plughost.Plugin.save_state gives) to restore first
   AnalysisOptions analysis;
};

CLI::App* addAnalyzeCommand(CLI::App& app, AnalyzeOptions& options);
int runAnalyze(AnalyzeOptions& options);

// ---- Parts of the command, one file each.

// The analysis options for side `side` (1 or 2) of a comparison, or for the one plug-in (0):
// the settings without a prefix, then those prefixed "side:".
AnalysisOptions sideOptions(const AnalyzeOptions& options, int side);

// --compare: both results and their difference, {"schema", "compare": {"a", "b", "difference"}}.
Json compareDocuments(const Json& a, const Json& b);

// --baseline's tolerances by name ("magnitude" in dB, "tail" in percent, ...: the README lists
// them); a negative tolerance leaves that measurement ungated, as "cost" is by default.
using Tolerances = std::map<std::string, double>;
Tolerances defaultTolerances();
// Applies one --tolerance NAME=VALUE. Throws ToolError (usage) for an unknown name or a value
// that is no number.
void setTolerance(Tolerances& tolerances, const std::string& assignment);

// --baseline: what moved further than its tolerance between `baseline` and `now`, one line
// each ("linear.magnitude_db[0] at 1000 Hz moved 0.8 dB (tolerance 0.1 dB)"), and every changed
// setting (sample rate, parameters, schema, what was measured); empty: none.
std::vector<std::string> baselineRegressions(const Json& baseline, const Json& now,
                                             const Tolerances& tolerances = defaultTolerances());

// Several plug-ins, each measured in a worker of its own as validate's collections are; the
// JSON lines or table, and with --report an index page linking one report per plug-in.
int runCollection(const AnalyzeOptions& options, const std::vector<std::string>& plugins);

// Writes `document` (one analysis, a comparison, or a collection index) as a self-contained HTML
// file by running the Python module plughost.report. Throws ToolError (usage, exit 2) naming
// the packages to install when Python, the module or matplotlib is missing.
void writeReport(const Json& document, const std::string& path);
// Throws as writeReport does when the report cannot be drawn here (no Python, module or
// matplotlib) or `path`'s folder cannot be written, so that --report fails before any
// measurement rather than after.
void checkReportTools(const std::string& path);

} // namespace plughost::analyze
