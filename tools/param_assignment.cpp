#include "tools/param_assignment.h"

#include "tools/tool_error.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>

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

// A decibel level with the suffix "dB" in any case, spaces allowed before it.
bool splitDecibels(const std::string& text, std::string& number) {
   if (text.size() < 2 || !equalNoCase(text.substr(text.size() - 2), "db")) return false;
   number = text.substr(0, text.size() - 2);
   while (!number.empty() && number.back() == ' ')
      number.pop_back();
   return true;
}

float parseValue(const std::string& text, const std::string& param) {
   std::string number = text;
   const bool decibels = splitDecibels(text, number);
   double value = 0.0;
   const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
   if (number.empty() || error != std::errc() || end != number.data() + number.size() ||
       std::isnan(value)) {
      throw ToolError(ExitCode::usage, "'" + text + "' is not a parameter value",
                      "give a number from 0 to 1, e.g. 0.5, or a level in dB, e.g. -6dB");
   }
   if (decibels) {
      if (!(value <= 0.0)) {
         throw ToolError(ExitCode::usage, "level " + text + " for '" + param + "' is above 0 dB",
                         "hosts send at most 1.0, which is 0 dB; give a level of 0dB or less");
      }
      return static_cast<float>(std::pow(10.0, value / 20.0));
   }
   if (!(value >= 0.0 && value <= 1.0)) {
      throw ToolError(ExitCode::usage, "value " + text + " for '" + param + "' is outside 0..1",
                      "hosts send parameter values from 0 to 1; give a level as e.g. -6dB");
   }
   // Read the text again as a float, so the value sent is the float nearest the text itself
   // and not the nearest float to the nearest double.
   float linear = 0.0f;
   std::from_chars(number.data(), number.data() + number.size(), linear);
   return linear;
}

} // namespace

ParamAssignment parseAssignment(const std::string& text, const std::vector<std::string>& names) {
   const auto equals = text.rfind('=');
   if (equals == std::string::npos || equals == 0) {
      throw ToolError(ExitCode::usage, "parameter setting '" + text + "' is not PARAM=VALUE",
                      "write e.g. --set 0=0.5 or --set \"Left Gain=0.5\"");
   }
   const std::string param = text.substr(0, equals);
   const std::string number = text.substr(equals + 1);

   ParamAssignment result{-1, 0.0f};
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

   result.value = parseValue(number, param);
   return result;
}

} // namespace plughost
