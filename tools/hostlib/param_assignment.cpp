// SPDX-License-Identifier: MIT
#include "tools/hostlib/param_assignment.h"

#include "tools/hostlib/tool_error.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>

namespace plughost {
namespace {

bool equalNoCase(const std::string& a, const std::string& b) {
   return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
      return std::tolower(x) == std::tolower(y);
   });
}

std::string listNames(const std::vector<std::string>& names) {
   std::string list;
   for (size_t i = 0; i < names.size(); ++i) {
      if (i > 0) list += ", ";
      list += std::to_string(i) + " \"" + names[i] + "\"";
   }
   return list.empty() ? "the plug-in has no parameters" : "parameters are " + list;
}

// The parameter whose name is `param` without regard to case, or failing that the only one whose
// name starts with it; -1 if there is none or the start is ambiguous.
int32_t findName(const std::vector<std::string>& names, const std::string& param) {
   int32_t prefixMatch = -1;
   int prefixMatches = 0;
   for (size_t i = 0; i < names.size(); ++i) {
      if (equalNoCase(names[i], param)) return static_cast<int32_t>(i);
      if (names[i].size() > param.size() && equalNoCase(names[i].substr(0, param.size()), param)) {
         prefixMatch = static_cast<int32_t>(i);
         ++prefixMatches;
      }
   }
   return prefixMatches == 1 ? prefixMatch : -1;
}

// Text without the spaces around it.
std::string trimmed(const std::string& text) {
   const auto first = text.find_first_not_of(' ');
   if (first == std::string::npos) return "";
   return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// Splits off the suffix "dB" in any case, spaces allowed before it.
bool splitDecibels(const std::string& text, std::string& number) {
   if (text.size() < 2 || !equalNoCase(text.substr(text.size() - 2), "db")) return false;
   number = trimmed(text.substr(0, text.size() - 2));
   return true;
}

bool isMinusInfinity(const std::string& text) {
   return equalNoCase(text, "-inf") || equalNoCase(text, "-oo") || equalNoCase(text, "-infinity");
}

// A whole text as a finite number, a leading '+' allowed.
bool parseNumber(const std::string& text, double& value) {
   const char* begin = text.data() + (text.size() > 1 && text[0] == '+' ? 1 : 0);
   const char* end = text.data() + text.size();
   const auto [stop, error] = std::from_chars(begin, end, value);
   return begin != end && error == std::errc() && stop == end && std::isfinite(value);
}

ToolError malformed(const std::string& text) {
   return ToolError(ExitCode::usage, "'" + text + "' is not a parameter value",
                    "give a number from 0 to 1, e.g. 0.5, or a level in dB, e.g. -6dB or -inf");
}

void parseValue(const std::string& text, const std::string& param, ParamAssignment& result) {
   std::string number = trimmed(text);
   const bool decibels = splitDecibels(number, number);
   if (isMinusInfinity(number)) {
      result.decibels = true;
      result.level = -INFINITY;
      return;
   }
   double value = 0.0;
   if (!parseNumber(number, value)) throw malformed(text);
   if (decibels) {
      result.decibels = true;
      result.level = value;
      return;
   }
   if (!(value >= 0.0 && value <= 1.0)) {
      throw ToolError(ExitCode::usage, "value " + text + " for '" + param + "' is outside 0..1",
                      "hosts send parameter values from 0 to 1; give a level as e.g. -6dB");
   }
   // Read the text again as a float, so the value sent is the float nearest the text itself
   // and not the nearest float to the nearest double.
   float linear = 0.0f;
   const char* begin = number.data() + (number[0] == '+' ? 1 : 0);
   std::from_chars(begin, number.data() + number.size(), linear);
   result.value = linear;
}

uint32_t bitsOf(float value) {
   uint32_t bits = 0;
   std::memcpy(&bits, &value, sizeof bits);
   return bits;
}

float floatOf(uint32_t bits) {
   float value = 0.0f;
   std::memcpy(&value, &bits, sizeof value);
   return value;
}

} // namespace

ParamAssignment parseAssignment(const std::string& text, const std::vector<std::string>& names) {
   const auto equals = text.rfind('=');
   if (equals == std::string::npos || equals == 0) {
      throw ToolError(ExitCode::usage, "parameter setting '" + text + "' is not PARAM=VALUE",
                      "write e.g. 0=0.5 or \"Left Gain=-6dB\"");
   }
   const std::string param = text.substr(0, equals);
   const std::string number = text.substr(equals + 1);

   ParamAssignment result{-1, false, 0.0f, 0.0};
   const auto count = static_cast<int32_t>(names.size());
   int32_t index = 0;
   const auto [end, error] = std::from_chars(param.data(), param.data() + param.size(), index);
   if (error == std::errc() && end == param.data() + param.size()) {
      if (index >= 0 && index < count) result.index = index;
   } else {
      result.index = findName(names, param);
   }
   if (result.index < 0) {
      throw ToolError(ExitCode::usage, "the plug-in has no parameter '" + param + "'",
                      listNames(names));
   }

   parseValue(number, text.substr(0, equals), result);
   return result;
}

bool parseDisplayedLevel(const std::string& text, double& level) {
   std::string number = trimmed(text);
   splitDecibels(number, number);
   if (isMinusInfinity(number)) {
      level = -INFINITY;
      return true;
   }
   if (equalNoCase(number, "oo") || equalNoCase(number, "+oo") || equalNoCase(number, "inf") ||
       equalNoCase(number, "+inf")) {
      level = INFINITY;
      return true;
   }
   return parseNumber(number, level);
}

float hostValueForLevel(double level, const std::string& levelText, const std::string& name,
                        const DisplayAt& displayAt) {
   const auto shown = [&](uint32_t bits) {
      const std::string text = displayAt(floatOf(bits));
      double value = 0.0;
      if (!parseDisplayedLevel(text, value)) {
         throw ToolError(ExitCode::usage,
                         "'" + name + "' displays '" + text + "', which is not a level in dB",
                         "give its host value from 0 to 1 instead");
      }
      return value;
   };
   // Positive floats are ordered like their bit patterns, so the search runs over the patterns
   // from 0 to 1 and ends on neighbouring floats.
   const uint32_t zero = bitsOf(0.0f), one = bitsOf(1.0f);
   const double atZero = shown(zero), atOne = shown(one);
   // A falling display is searched as the rising one of minus its level.
   const double sign = atOne >= atZero ? 1.0 : -1.0;
   const auto rising = [&](uint32_t bits) { return sign * shown(bits); };
   const double target = sign * level;
   if (target < sign * atZero || target > sign * atOne) {
      throw ToolError(ExitCode::usage,
                      "'" + name + "' cannot show " + levelText + ": it displays " +
                          displayAt(0.0f) + " at 0 and " + displayAt(1.0f) + " at 1",
                      "give a level within that range, or its host value from 0 to 1");
   }

   const double factor = std::pow(10.0, level / 20.0);
   if (factor >= 0.0 && factor <= 1.0 && shown(bitsOf(static_cast<float>(factor))) == level) {
      return static_cast<float>(factor);
   }
   // The first value that shows the level or more.
   uint32_t first = zero;
   if (rising(zero) < target) {
      uint32_t below = zero, atLeast = one;
      while (atLeast - below > 1) {
         const uint32_t mid = below + (atLeast - below) / 2;
         (rising(mid) >= target ? atLeast : below) = mid;
      }
      first = atLeast;
   }
   const double firstShown = rising(first);
   if (firstShown != target) {
      if (first == zero || firstShown - target <= target - rising(first - 1)) {
         return floatOf(first);
      }
      return floatOf(first - 1);
   }
   // The last value that shows the level.
   uint32_t last = one;
   if (rising(one) > target) {
      uint32_t atMost = first, above = one;
      while (above - atMost > 1) {
         const uint32_t mid = atMost + (above - atMost) / 2;
         (rising(mid) <= target ? atMost : above) = mid;
      }
      last = atMost;
   }
   if (first == zero) return 0.0f;
   if (last == one) return 1.0f;
   return static_cast<float>((static_cast<double>(floatOf(first)) + floatOf(last)) / 2.0);
}

namespace {

bool isDecibelLabel(std::string label) {
   label.erase(0, label.find_first_not_of(' '));
   label.erase(label.find_last_not_of(' ') + 1);
   return label.size() == 2 && (label[0] == 'd' || label[0] == 'D') &&
          (label[1] == 'b' || label[1] == 'B');
}

} // namespace

int32_t applyAssignment(PluginInstance& p, const std::string& text) {
   std::vector<std::string> names;
   for (int32_t i = 0; i < p.record().numParams; ++i)
      names.push_back(p.parameterName(i));
   const ParamAssignment a = parseAssignment(text, names);
   float value = a.value;
   if (a.decibels) {
      const std::string& name = names[static_cast<size_t>(a.index)];
      const std::string label = p.parameterLabel(a.index);
      if (!isDecibelLabel(label)) {
         throw ToolError(ExitCode::usage,
                         "'" + name + "' is not shown in dB (its label is '" + label + "')",
                         "give its host value from 0 to 1, e.g. \"" + name + "=0.5\"");
      }
      const std::string levelText = text.substr(text.rfind('=') + 1);
      value = hostValueForLevel(a.level, levelText, name, [&](float v) {
         p.setParameter(a.index, v);
         return p.parameterDisplay(a.index);
      });
   }
   p.setParameter(a.index, value);
   return a.index;
}

} // namespace plughost
