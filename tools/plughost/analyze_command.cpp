// SPDX-License-Identifier: MIT
#include "tools/plughost/analyze_command.h"

#include <CLI/CLI.hpp>

#include <cstdio>

namespace plughost::analyze {

CLI::App* addAnalyzeCommand(CLI::App& app, AnalyzeOptions& options) {
   auto* command = app.add_subcommand("analyze", "measure what a plug-in does to sound");
   command->add_option("plugin", options.plugins, "path or name of the plug-in library")
       ->required()
       ->type_name("PLUGIN");
   command->add_flag("--json", options.json, "print machine-readable JSON");
   return command;
}

int runAnalyze(AnalyzeOptions& options) {
   const Json doc = trimwise::host::analysis::analyze(options.plugins.front(), options.analysis);
   std::printf("%s\n", jsonLine(doc).c_str());
   return 0;
}

} // namespace plughost::analyze
