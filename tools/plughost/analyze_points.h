// SPDX-License-Identifier: MIT
// Reading two analysis documents side by side, for --compare and --baseline: numbers that may be
// null, grids that must agree, and points matched by what they were measured at.
#pragma once

#include "tools/hostlib/json.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

namespace plughost::analyze {

// The value under `key` of an object; null when it is missing or `object` is no object.
inline const Json& field(const Json& object, const std::string& key) {
   static const Json none;
   if (!object.is_object()) return none;
   const auto it = object.find(key);
   return it == object.end() ? none : *it;
}

// The number under `key`, or none when it is missing, null or not a number.
inline std::optional<double> numberAt(const Json& object, const std::string& key) {
   if (!object.is_object()) return std::nullopt;
   const auto it = object.find(key);
   if (it == object.end() || !it->is_number()) return std::nullopt;
   return it->get<double>();
}

inline std::optional<double> numberOf(const Json& value) {
   if (!value.is_number()) return std::nullopt;
   return value.get<double>();
}

// Two frequencies, levels or other coordinates the same but for rounding in the last digits.
inline bool sameCoordinate(double a, double b) {
   return std::fabs(a - b) <= 1e-9 * std::max({1.0, std::fabs(a), std::fabs(b)});
}

// Two lists of numbers of one length whose entries are the same coordinates.
inline bool sameGrid(const Json& a, const Json& b) {
   if (!a.is_array() || !b.is_array() || a.size() != b.size()) return false;
   for (size_t i = 0; i < a.size(); ++i) {
      const auto x = numberOf(a[i]), y = numberOf(b[i]);
      if (!x || !y || !sameCoordinate(*x, *y)) return false;
   }
   return true;
}

// The section `name` of a document when it was measured ("status": "ok"), else null.
inline const Json* measuredSection(const Json& document, const std::string& name) {
   const auto it = document.find(name);
   if (it == document.end() || !it->is_object() || it->value("status", "") != "ok") return nullptr;
   return &*it;
}

// The entry of `points` (a list of objects) measured at the same channel, frequency and level as
// `point`; null when there is none.
inline const Json* matchingPoint(const Json& points, const Json& point) {
   if (!points.is_array()) return nullptr;
   for (const Json& candidate : points) {
      bool same = candidate.is_object();
      for (const char* key : {"channel", "frequency_hz", "level_dbfs"}) {
         if (!same) break;
         const auto x = numberAt(point, key), y = numberAt(candidate, key);
         same = x.has_value() == y.has_value() && (!x || sameCoordinate(*x, *y));
      }
      if (same) return &candidate;
   }
   return nullptr;
}

// An angle in degrees wrapped to (-180, 180].
inline double wrapDegrees(double degrees) {
   double d = std::fmod(degrees, 360.0);
   if (d <= -180.0) d += 360.0;
   if (d > 180.0) d -= 360.0;
   return d;
}

} // namespace plughost::analyze
