// SPDX-License-Identifier: MIT
#include "tools/plughost/common.h"

#include "tools/hostlib/fatal_signal.h"
#include "tools/hostlib/param_assignment.h"
#include "tools/hostlib/plugin_search.h"
#include "tools/hostlib/tool_error.h"

#include <cmath>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <sstream>

namespace plughost {

std::string printed(const char* pattern, double value) {
   char text[64];
   std::snprintf(text, sizeof text, pattern, value);
   return text;
}

HostSettings hostSettings(const CommonOptions& options, float sampleRate, int32_t blockSize) {
   HostSettings settings{sampleRate, blockSize, {}};
   if (options.trace) {
      settings.trace = [](const std::string& line) { std::cerr << "trace: " << line << '\n'; };
   }
   return settings;
}

// The library's hint for a parameter setting, in the words of the command line: examples of
// settings become examples of --param.
std::string commandLineHint(const std::string& hint) {
   if (hint == "write e.g. 0=0.5 or \"Left Gain=-6dB\"") {
      return "write e.g. --param 0=0.5 or --param \"Left Gain=-6dB\"";
   }
   return hint;
}

host::InstanceOptions instanceOptions(const CommonOptions& options, double sampleRate,
                                      int32_t blockSize) {
   host::InstanceOptions settings{sampleRate, blockSize};
   if (options.trace) {
      settings.trace = [](const std::string& line) { std::cerr << "trace: " << line << '\n'; };
   }
   return settings;
}

std::string findPluginPath(const std::string& plugin) {
   try {
      return host::findPlugin(plugin);
   } catch (const host::LoadError& e) {
      throw host::LoadError(e.what(), e.hint() + "; 'plughost list' shows what is found");
   }
}

std::vector<std::string> collectionPlugins(const std::vector<std::string>& names, bool all) {
   std::vector<std::string> plugins;
   for (const auto& name : names) {
      try {
         plugins.push_back(findPluginPath(name));
      } catch (const host::Error&) {
         plugins.push_back(name); // reported as not loadable, beside the others
      }
   }
   if (all) {
      for (const auto& found : findPlugins(searchPath()).plugins)
         plugins.push_back(found.path);
      if (plugins.empty()) {
         throw ToolError(ExitCode::usage, "no plug-in found on the search path",
                         "see where plughost looks with: plughost list");
      }
   }
   return plugins;
}

host::Plugin openPlugin(std::string& plugin, const std::string& activity) {
   plugin = findPluginPath(plugin);
   host::probe(plugin);
   reportFatalSignals(activity + " '" + plugin + "'");
   return host::Plugin::load(plugin);
}

std::shared_ptr<PluginModule> loadPlugin(std::string& plugin, const std::string& activity) {
   return openPlugin(plugin, activity).module();
}

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

// Sets each PARAM=VALUE in order and returns the parameters as they read afterwards, one entry
// per setting. A level in dB is turned into the host value whose display shows it.
std::vector<ParamInfo> applySettings(PluginInstance& p, const std::vector<std::string>& settings) {
   std::vector<ParamInfo> applied;
   for (const auto& text : settings) {
      try {
         applied.push_back(readParam(p, applyAssignment(p, text)));
      } catch (const ToolError& e) {
         throw ToolError(e.code(), e.what(), commandLineHint(e.hint()));
      }
   }
   return applied;
}

std::vector<ParamInfo> applySettings(host::Instance& p, const std::vector<std::string>& settings) {
   std::vector<ParamInfo> applied;
   for (const auto& text : settings) {
      try {
         applied.push_back(p.set(text));
      } catch (const host::BadArgument& e) {
         throw host::BadArgument(e.what(), commandLineHint(e.hint()));
      }
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
   constexpr const char* kNames[] = {"Unknown",     "Effect",         "Synth",  "Analysis",
                                     "Mastering",   "Spacializer",    "RoomFx", "SurroundFx",
                                     "Restoration", "OfflineProcess", "Shell",  "Generator"};
   if (category >= 0 && category < static_cast<int32_t>(std::size(kNames))) {
      return kNames[category];
   }
   return std::to_string(category);
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
       ->type_name("NAME|INDEX=VALUE")
       // One setting per --param, so that a positional after it stays a positional.
       ->allow_extra_args(false);
   command->add_flag("--json", options.json, "print machine-readable JSON");
   command->add_flag("--trace", options.trace, "log every command and host request to stderr");
}

} // namespace plughost
