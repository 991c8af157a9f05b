// SPDX-License-Identifier: MIT
// Which channels of an audio file feed which inputs of a plug-in.
//
// The text form, as given with --map, has one entry per plug-in input, separated by commas.
// An entry is a file channel, counted from 1 (L and R stand for 1 and 2), a sum of channels
// joined by '+', or 0 for silence: "1,1" feeds the first channel to both inputs of a stereo
// plug-in, "L+R" sums a stereo file into a mono plug-in, "2,1" swaps left and right.
#pragma once

#include <string>
#include <vector>

namespace plughost {

struct ChannelMap {
   // For each plug-in input, the file channels (counted from 0) summed into it; none: silence.
   std::vector<std::vector<int>> inputs;

   // The text form, with channels counted from 1: "1,1", "1+2", "0,1".
   std::string text() const;
   bool isIdentity(int fileChannels) const;
};

// Reads the text form for a plug-in with `inputs` inputs and a file with `fileChannels`
// channels. Throws ToolError(ExitCode::usage) for a malformed text, a number of entries other
// than `inputs`, or a channel the file does not have; `fileName` names the file in the message.
ChannelMap parseChannelMap(const std::string& text, int fileChannels, int inputs,
                           const std::string& fileName);

// The routing a host uses without being told: channel to input one by one; a mono file feeds
// every input; inputs beyond the file's channels get silence. Throws ToolError(ExitCode::usage)
// when the file has more channels than the plug-in has inputs, with a hint showing the --map
// that would pick or mix them: a silent downmix would hide a mistake.
ChannelMap defaultChannelMap(int fileChannels, int inputs, const std::string& fileName);

} // namespace plughost
