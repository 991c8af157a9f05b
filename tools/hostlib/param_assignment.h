// SPDX-License-Identifier: MIT
// Parameter assignments given on the command line: "0=0.5", "Left Gain=0.5", "right gain=-6dB".
#pragma once

#include "tools/hostlib/plugin_instance.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace plughost {

struct ParamAssignment {
   int32_t index;
   bool decibels; // `level` holds a level in dB that the parameter is to display
   float value;   // the host value, 0..1, when !decibels
   double level;  // the level in dB, possibly -inf, when decibels
};

// Resolves "PARAM=VALUE" against the plug-in's parameter names (index i has names[i]). PARAM is
// an index, a name compared without regard to case, or the unambiguous start of one. VALUE is a
// host value from 0 to 1, or a level with the suffix "dB" ("-6dB", "-20 db") or "-inf" for
// silence. Throws ToolError(ExitCode::usage) naming what is wrong.
ParamAssignment parseAssignment(const std::string& text, const std::vector<std::string>& names);

// Reads a display text as a level: a number, or "-oo" / "-inf" for minus infinity. False if the
// text is not one.
bool parseDisplayedLevel(const std::string& text, double& level);

// Shows the display text of a parameter at host value v (by setting it and reading it back).
using DisplayAt = std::function<std::string(float v)>;

// The host value from 0 to 1 whose display text reads as `level`, for a parameter whose display
// rises or falls steadily with its value. The linear factor 10^(level/20) is taken when it shows
// the level; otherwise the value is searched, and of several values that show it the middle one
// is taken (0 or 1 where they are among them). Without an exact match the value whose display
// comes nearest. Throws ToolError(ExitCode::usage) if the level lies outside what the parameter
// displays or the display is not a number.
float hostValueForLevel(double level, const std::string& levelText, const std::string& name,
                        const DisplayAt& displayAt);

// Sets "PARAM=VALUE" on the instance as parseAssignment reads it; a level in dB is turned into the
// host value whose display shows it (hostValueForLevel), for a parameter labelled "dB" only.
// Returns the parameter's index. Throws ToolError(ExitCode::usage) naming what is wrong.
int32_t applyAssignment(PluginInstance& p, const std::string& text);

} // namespace plughost
