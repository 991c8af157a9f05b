// SPDX-License-Identifier: MIT
// plughost: loads a plug-in and drives it from the command line as a host would. It lists what
// is installed, shows what a plug-in reports, runs audio files through it, measures its speed
// and checks what hosts rely on. Each command lives in a file of its own.

#include "tools/hostlib/fatal_signal.h"
#include "tools/hostlib/tool_error.h"
#include "tools/plughost/analyze_command.h"
#include "tools/plughost/commands.h"
#include "tools/plughost/validate_command.h"

#include <CLI/CLI.hpp>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iostream>

namespace plughost {
namespace {

constexpr const char* kVersion = "plughost 1.0.0";

void printError(const std::string& cause, const std::string& hint) {
   std::cerr << "plughost: error: " << cause << '\n' << "hint: " << hint << '\n';
}

// The exit code of each kind of error the host library throws.
int exitCode(trimwise::host::ErrorKind kind) {
   using trimwise::host::ErrorKind;
   switch (kind) {
   case ErrorKind::load:
      return static_cast<int>(ExitCode::plugin);
   case ErrorKind::badArgument:
      return static_cast<int>(ExitCode::usage);
   case ErrorKind::file:
      return static_cast<int>(ExitCode::file);
   case ErrorKind::crash:
      // The library reports a crash it saw in a child process: the plug-in crashed or hung
      // while it was being loaded, so it could not be loaded. A crash while processing here
      // ends in the fatal signal report instead.
      return static_cast<int>(ExitCode::plugin);
   case ErrorKind::failed:
      break;
   }
   return static_cast<int>(ExitCode::failed);
}

// The two lines for a fatal signal while a plug-in runs, put together inside the signal handler
// with async-signal-safe calls alone.
void printFatalSignal(int signal, const char* activity) {
   char message[1024];
   size_t at = 0;
   const auto append = [&](const char* text) {
      const size_t n = std::min(std::strlen(text), sizeof message - at);
      std::memcpy(message + at, text, n);
      at += n;
   };
   const char* name = signalName(signal);
   append("plughost: error: stopped by ");
   append(name ? name : "a fatal signal");
   append(" while ");
   append(activity);
   append("\nhint: the plug-in most likely crashed; 'plughost validate' may find out where\n");
   [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, message, at);
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
   // Hidden: started by the host library, not by people, so it stays out of --help.
   if (argc == 4 && std::string(argv[1]) == "serve") return runServe(argv[2], argv[3]);
   setFatalSignalReport(&printFatalSignal);
   CLI::App app{"plughost: load and drive a plug-in from the command line.", "plughost"};
   app.set_version_flag("--version", kVersion);
   app.require_subcommand(1);
   app.footer("PLUGIN is a path, or a name looked up, with subfolders, in $VST_PATH, $LXVST_PATH\n"
              "(colon-separated), ~/.vst, ~/.lxvst, /usr/local/lib/vst, /usr/local/lib/lxvst,\n"
              "/usr/lib/vst and /usr/lib/lxvst. 'plughost COMMAND --help' for its options.\n"
              "Exit codes: 0 done, 1 failed, 2 usage, 3 file I/O, 4 plug-in could not be loaded.");

   CommonOptions common;
   ListOptions listOptions;
   ProcessOptions process;
   BenchCommandOptions benchOptions;
   auto* list = addListCommand(app, listOptions);
   auto* info = addInfoCommand(app, common);
   auto* proc = addProcessCommand(app, common, process);
   auto* bench = addBenchCommand(app, common, benchOptions);
   validate::ValidateOptions validation;
   auto* chk = validate::addValidateCommand(app, validation);
   analyze::AnalyzeOptions analysis;
   auto* meter = analyze::addAnalyzeCommand(app, analysis);

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

   if (list->parsed()) return runList(listOptions);
   if (info->parsed()) return runInfo(common);
   if (proc->parsed()) return runProcess(common, process);
   if (bench->parsed()) return runBenchCommand(common, benchOptions);
   if (chk->parsed()) return validate::runValidate(validation);
   if (meter->parsed()) return analyze::runAnalyze(analysis);
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
   } catch (const trimwise::host::Error& e) {
      printError(e.what(), e.hint());
      return exitCode(e.kind());
   } catch (const std::exception& e) {
      printError(e.what(), "this is a bug in plughost; please report it with the command line");
      return static_cast<int>(ExitCode::internal);
   }
}
