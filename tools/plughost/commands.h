// SPDX-License-Identifier: MIT
// The subcommands of plughost. Each adds itself to the command line with its options, and runs
// once the command line is parsed; a run returns the exit code or throws ToolError.
#pragma once

#include "tools/plughost/common.h"

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace plughost {

struct ListOptions {
   bool json = false;
   double timeoutSeconds = 10.0; // per plug-in
   int jobs = 0;                 // probes at once; 0: two per core
};
CLI::App* addListCommand(CLI::App& app, ListOptions& options);
int runList(const ListOptions& options);

CLI::App* addInfoCommand(CLI::App& app, CommonOptions& options);
int runInfo(CommonOptions& options);

struct ProcessOptions {
   std::string input;                    // empty: the built-in test signal
   std::vector<std::string> inputOption; // -i: files and folders
   std::vector<std::string> chain;       // -P: plug-ins in series
   std::string output = "out.wav";
   std::string encoding = "same";
   std::string map;   // empty: the default routing
   std::string midi;  // Standard MIDI File of notes for an instrument
   double tail = 2.0; // seconds rendered after the last MIDI event
   int32_t blockSize = 512;
   int precision = 32;
   double seconds = 1.0;   // length of the test signal
   int sampleRate = 44100; // sample rate of the test signal
   bool overwrite = false;
   bool quiet = false;
   // Many files
   std::string outdir;
   bool recursive = false;
   std::string extension;
   std::string manifest;
   int jobs = 0; // 0: one per core
   double timeout = 0.0;
   bool skipExisting = false;
   const CLI::Option* secondsOption = nullptr;
   const CLI::Option* rateOption = nullptr;
   const CLI::Option* tailOption = nullptr;
};
CLI::App* addProcessCommand(CLI::App& app, CommonOptions& common, ProcessOptions& options);
int runProcess(CommonOptions& common, ProcessOptions& options);
// Many files through the chain `stages`, on worker processes (batch_command.cpp).
int runBatch(CommonOptions& common, const ProcessOptions& options,
             const std::vector<std::string>& stages);

struct BenchCommandOptions {
   std::string precision = "both";
   double seconds = 0.25;
};
CLI::App* addBenchCommand(CLI::App& app, CommonOptions& common, BenchCommandOptions& options);
int runBenchCommand(CommonOptions& common, const BenchCommandOptions& options);

// The hidden `serve` command: hosts one plug-in for a caller over the descriptors given.
int runServe(const char* socketFd, const char* recordFd);

} // namespace plughost
