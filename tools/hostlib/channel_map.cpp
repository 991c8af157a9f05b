// SPDX-License-Identifier: MIT
#include "tools/hostlib/channel_map.h"

#include "tools/hostlib/tool_error.h"

#include <cctype>

namespace plughost {
namespace {

ToolError mapError(const std::string& cause, const std::string& hint) {
   return ToolError(ExitCode::usage, cause, hint);
}

std::string channelsText(int count) {
   return std::to_string(count) + (count == 1 ? " channel" : " channels");
}

// "1,2,3" for the first `count` channels, or "1+2+3" with `joint` '+'.
std::string series(int count, char joint) {
   std::string text;
   for (int c = 1; c <= count; ++c) {
      if (c > 1) text.push_back(joint);
      text.append(std::to_string(c));
   }
   return text;
}

} // namespace

std::string ChannelMap::text() const {
   std::string out;
   for (size_t i = 0; i < inputs.size(); ++i) {
      if (i > 0) out += ',';
      if (inputs[i].empty()) out += '0';
      for (size_t t = 0; t < inputs[i].size(); ++t) {
         if (t > 0) out += '+';
         out.append(std::to_string(inputs[i][t] + 1));
      }
   }
   return out;
}

bool ChannelMap::isIdentity(int fileChannels) const {
   if (static_cast<int>(inputs.size()) != fileChannels) return false;
   for (size_t i = 0; i < inputs.size(); ++i) {
      if (inputs[i].size() != 1 || inputs[i][0] != static_cast<int>(i)) return false;
   }
   return true;
}

ChannelMap parseChannelMap(const std::string& text, int fileChannels, int inputs,
                           const std::string& fileName) {
   const std::string hint = "give one entry per plug-in input, each a channel from 1 to " +
                            std::to_string(fileChannels) +
                            ", L, R, a sum such as L+R, or 0 for silence: e.g. --map " +
                            (inputs == 1 ? "1" : series(inputs, ','));
   ChannelMap map;
   std::vector<int> entry;
   std::string term;
   auto endTerm = [&] {
      if (term.empty()) throw mapError("--map '" + text + "' has an empty entry or term", hint);
      int channel = 0;
      if (term == "L" || term == "l") {
         channel = 1;
      } else if (term == "R" || term == "r") {
         channel = 2;
      } else {
         if (term.size() > 6 || term.find_first_not_of("0123456789") != std::string::npos) {
            throw mapError("--map '" + text + "': '" + term + "' is not a channel", hint);
         }
         channel = std::stoi(term);
      }
      if (channel > fileChannels) {
         throw mapError("--map '" + text + "' names channel " + std::to_string(channel) + " but '" +
                            fileName + "' has " + channelsText(fileChannels),
                        hint);
      }
      if (channel > 0) {
         entry.push_back(channel - 1);
      } else if (term != "0" && term != "00") {
         throw mapError("--map '" + text + "': '" + term + "' is not a channel", hint);
      }
      term.clear();
   };
   for (const char ch : text) {
      if (std::isspace(static_cast<unsigned char>(ch))) continue;
      if (ch == '+' || ch == ',') {
         endTerm();
         if (ch == ',') {
            map.inputs.push_back(std::move(entry));
            entry.clear();
         }
      } else {
         term += ch;
      }
   }
   endTerm();
   map.inputs.push_back(std::move(entry));
   if (static_cast<int>(map.inputs.size()) != inputs) {
      throw mapError("--map '" + text + "' has " + std::to_string(map.inputs.size()) +
                         (map.inputs.size() == 1 ? " entry" : " entries") +
                         " but the plug-in has " + std::to_string(inputs) +
                         (inputs == 1 ? " input" : " inputs"),
                     hint);
   }
   return map;
}

ChannelMap defaultChannelMap(int fileChannels, int inputs, const std::string& fileName) {
   if (fileChannels > inputs) {
      const std::string hint =
          inputs == 1 ? "pick or mix with --map: --map 1 takes the first channel, --map " +
                            (fileChannels == 2 ? std::string("L+R") : series(fileChannels, '+')) +
                            " sums all " + std::to_string(fileChannels)
                      : "pick or mix with --map: --map " + series(inputs, ',') +
                            " takes the first " + std::to_string(inputs) +
                            "; an entry may be a sum such as " + series(fileChannels, '+');
      throw mapError("'" + fileName + "' has " + channelsText(fileChannels) +
                         " but the plug-in takes " + std::to_string(inputs),
                     hint);
   }
   ChannelMap map;
   map.inputs.resize(static_cast<size_t>(inputs));
   for (int i = 0; i < inputs; ++i) {
      if (fileChannels == 1) {
         map.inputs[static_cast<size_t>(i)] = {0};
      } else if (i < fileChannels) {
         map.inputs[static_cast<size_t>(i)] = {i};
      }
   }
   return map;
}

} // namespace plughost
