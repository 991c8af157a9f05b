// Parameter assignments given on the command line: "0=0.5", "Left Gain=0.5", "right gain=-6dB".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plughost {

struct ParamAssignment {
   int32_t index;
   float value;
};

// Resolves "PARAM=VALUE" against the plug-in's parameter names (index i has names[i]). PARAM is
// an index, a name compared without regard to case, or the unambiguous start of one. VALUE is a
// number from 0 to 1, the range hosts send, or a level of 0 dB or less with the suffix "dB"
// ("-6dB", "-inf dB"), which is sent as the linear factor 10^(dB/20). Throws
// ToolError(ExitCode::usage) naming what is wrong.
ParamAssignment parseAssignment(const std::string& text, const std::vector<std::string>& names);

} // namespace plughost
