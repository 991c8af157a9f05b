// SPDX-License-Identifier: MIT
// What the subcommands share: the plug-in argument and options common to them, loading a
// plug-in safely, reading and setting its parameters, and the texts that show its identity.
#pragma once

#include "tools/hostlib/json.h"
#include "tools/hostlib/plugin_instance.h"
#include "tools/hostlib/plugin_module.h"

#include <trimwise/host/plugin.h>

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace plughost {

namespace host = trimwise::host;

using Clock = std::chrono::steady_clock;

// `pattern` is a printf pattern with one floating-point conversion.
std::string printed(const char* pattern, double value);

struct CommonOptions {
   std::string plugin;
   std::vector<std::string> settings; // PARAM=VALUE
   bool json = false;
   bool trace = false;
};

HostSettings hostSettings(const CommonOptions& options, float sampleRate, int32_t blockSize);
host::InstanceOptions instanceOptions(const CommonOptions& options, double sampleRate,
                                      int32_t blockSize);

// The library's hint for a parameter setting in the words of the command line (--param).
std::string commandLineHint(const std::string& hint);

// The library for PLUGIN, a path or a name on the search path.
std::string findPluginPath(const std::string& plugin);

// The libraries of a collection: each name found as PLUGIN is (one found nowhere is kept as it
// stands, to be reported as not loadable beside the others), then with `all` every plug-in on
// the search path. Throws ToolError (usage) when `all` finds none.
std::vector<std::string> collectionPlugins(const std::vector<std::string>& names, bool all);

// Finds the library for PLUGIN, loads it once in a child process, so that a plug-in that crashes
// while loading is reported rather than taking plughost down, and then loads it here. From then
// on a crash is reported as one during `activity`. PLUGIN becomes the path found.
host::Plugin openPlugin(std::string& plugin, const std::string& activity);
std::shared_ptr<PluginModule> loadPlugin(std::string& plugin, const std::string& activity);

using ParamInfo = host::Parameter;

ParamInfo readParam(PluginInstance& p, int32_t i);
std::vector<ParamInfo> readParams(PluginInstance& p);

// Sets each PARAM=VALUE in order and returns the parameters as they read afterwards, one entry
// per setting. A level in dB is turned into the host value whose display shows it.
std::vector<ParamInfo> applySettings(PluginInstance& p, const std::vector<std::string>& settings);
std::vector<ParamInfo> applySettings(host::Instance& p, const std::vector<std::string>& settings);

// 'Trmw' when all four characters are printable, else empty.
std::string fourCharText(int32_t code);
// "'Trmw' 1416785271 (0x54726D77)": the characters where printable, the number and its hex.
std::string uniqueIdText(int32_t code);
std::vector<std::string> flagNames(int32_t flags);
std::string categoryName(int32_t category);
// A linear level in dBFS with two decimals, "-inf" for silence.
std::string decibels(double level);
void writeParams(JsonWriter& j, const std::vector<ParamInfo>& params);
// "Left Gain = 0.501187 (-6.00000 dB)"
std::string settingText(const ParamInfo& pi);

// The PLUGIN argument, and with it the options every command that loads a plug-in takes.
void addPlugin(CLI::App* command, std::string& plugin);
void addCommon(CLI::App* command, CommonOptions& options);

} // namespace plughost
