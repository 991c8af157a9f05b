// SPDX-License-Identifier: MIT
// --compare: two analyses side by side and their difference, b minus a, wherever both were
// measured on the same grid. A section that cannot be compared is null with a reason.
#include "tools/plughost/analyze_command.h"
#include "tools/plughost/analyze_points.h"

#include <string>

namespace plughost::analyze {
namespace {

// b - a, or null with a reason in `into` under "<key>_reason".
void putDifference(Json& into, const std::string& key, const Json& a, const Json& b,
                   bool ratio = false) {
   const auto x = numberAt(a, key), y = numberAt(b, key);
   if (x && y) {
      into[key] = jsonNumber(ratio ? *y / *x : *y - *x);
      return;
   }
   if (!a.contains(key) && !b.contains(key)) return;
   into[key] = nullptr;
   into[key + "_reason"] = !x && !y ? "not measured in either"
                           : !x     ? "not measured in a"
                                    : "not measured in b";
}

// Element by element b - a (or b / a) of two lists of numbers; null where either is null.
Json listDifference(const Json& a, const Json& b, bool wrapPhase = false, bool ratio = false) {
   Json out = Json::array();
   if (!a.is_array() || !b.is_array()) return out;
   for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
      const auto x = numberOf(a[i]), y = numberOf(b[i]);
      if (!x || !y) {
         out.push_back(nullptr);
      } else if (ratio) {
         out.push_back(jsonNumber(*y / *x));
      } else {
         out.push_back(jsonNumber(wrapPhase ? wrapDegrees(*y - *x) : *y - *x));
      }
   }
   return out;
}

// The same for lists with one list per output channel, over the channels both have.
Json channelsDifference(const Json& a, const Json& b, bool wrapPhase = false) {
   Json out = Json::array();
   if (!a.is_array() || !b.is_array()) return out;
   for (size_t c = 0; c < std::min(a.size(), b.size()); ++c)
      out.push_back(listDifference(a[c], b[c], wrapPhase));
   return out;
}

// Points matched by channel, frequency and level, with `keys` differenced; points only one side
// has are left out.
Json pointsDifference(const Json& a, const Json& b, std::initializer_list<const char*> keys) {
   Json out = Json::array();
   if (!a.is_array()) return out;
   for (const Json& point : a) {
      const Json* other = matchingPoint(b, point);
      if (!other) continue;
      Json d = Json::object();
      for (const char* coordinate : {"channel", "frequency_hz", "level_dbfs"}) {
         if (point.contains(coordinate)) d[coordinate] = point[coordinate];
      }
      for (const char* key : keys)
         putDifference(d, key, point, *other);
      out.push_back(std::move(d));
   }
   return out;
}

Json linearDifference(const Json& a, const Json& b) {
   if (!sameGrid(field(a, "frequency_hz"), field(b, "frequency_hz"))) return nullptr;
   Json d = {
       {"frequency_hz", field(a, "frequency_hz")},
       {"magnitude_db", channelsDifference(field(a, "magnitude_db"), field(b, "magnitude_db"))},
       {"phase_deg", channelsDifference(field(a, "phase_deg"), field(b, "phase_deg"), true)},
       {"group_delay_frames",
        channelsDifference(field(a, "group_delay_frames"), field(b, "group_delay_frames"))}};
   putDifference(d, "phase_delay_frames", a, b);
   return d;
}

Json dynamicsDifference(const Json& a, const Json& b) {
   Json d = Json::object();
   if (sameGrid(field(a, "input_dbfs"), field(b, "input_dbfs"))) {
      d["input_dbfs"] = field(a, "input_dbfs");
      d["output_dbfs"] = channelsDifference(field(a, "output_dbfs"), field(b, "output_dbfs"));
   } else {
      d["output_dbfs"] = nullptr;
      d["output_dbfs_reason"] = "the input levels differ";
   }
   putDifference(d, "attack_ms", a, b);
   putDifference(d, "release_ms", a, b);
   return d;
}

Json costDifference(const Json& a, const Json& b) {
   if (!sameGrid(field(a, "block_sizes"), field(b, "block_sizes"))) return nullptr;
   Json ratios = Json::object();
   for (const auto& [precision, factors] : field(a, "realtime_factor").items()) {
      if (field(b, "realtime_factor").contains(precision)) {
         ratios[precision] =
             listDifference(factors, field(b, "realtime_factor")[precision], false, true);
      }
   }
   return {{"block_sizes", field(a, "block_sizes")}, {"realtime_factor_ratio", std::move(ratios)}};
}

Json instrumentDifference(const Json& a, const Json& b) {
   Json d = Json::object();
   putDifference(d, "level_dbfs", a, b);
   putDifference(d, "peak_dbfs", a, b);
   const Json& sa = field(a, "spectrum");
   const Json& sb = field(b, "spectrum");
   if (sa.is_object() && sb.is_object() &&
       sameGrid(field(sa, "frequency_hz"), field(sb, "frequency_hz"))) {
      d["spectrum"] = {{"frequency_hz", field(sa, "frequency_hz")},
                       {"magnitude_db",
                        channelsDifference(field(sa, "magnitude_db"), field(sb, "magnitude_db"))}};
   }
   return d;
}

Json sectionDifference(const std::string& name, const Json& a, const Json& b) {
   if (name == "latency") {
      Json d = Json::object();
      putDifference(d, "reported", a, b);
      putDifference(d, "measured", a, b);
      return d;
   }
   if (name == "linear") return linearDifference(a, b);
   if (name == "thd") {
      Json d = {{"points",
                 pointsDifference(field(a, "points"), field(b, "points"), {"thd_db", "thdn_db"})}};
      putDifference(d, "floor_db", a, b);
      return d;
   }
   if (name == "dynamics") return dynamicsDifference(a, b);
   if (name == "aliasing")
      return {{"points", pointsDifference(field(a, "points"), field(b, "points"), {"alias_db"})}};
   if (name == "time") {
      Json d = Json::object();
      for (const char* key :
           {"tail_s_60db", "tail_s_120db", "tail_reported", "noise_floor_dbfs", "dc_offset"})
         putDifference(d, key, a, b);
      return d;
   }
   if (name == "cost") return costDifference(a, b);
   if (name == "instrument") return instrumentDifference(a, b);
   return nullptr;
}

} // namespace

Json compareDocuments(const Json& a, const Json& b) {
   Json difference = Json::object();
   for (const char* name :
        {"latency", "linear", "thd", "dynamics", "aliasing", "time", "cost", "instrument"}) {
      if (!a.contains(name) && !b.contains(name)) continue;
      const Json* x = measuredSection(a, name);
      const Json* y = measuredSection(b, name);
      Json d = x && y ? sectionDifference(name, *x, *y) : Json();
      if (d.is_null()) {
         difference[name] = nullptr;
         difference[std::string(name) + "_reason"] = !x && !y ? "measured in neither"
                                                     : !x     ? "not measured in a"
                                                     : !y     ? "not measured in b"
                                                              : "measured on different grids";
      } else {
         difference[name] = std::move(d);
      }
   }
   return {{"schema", trimwise::host::analysis::kSchema},
           {"compare", {{"a", a}, {"b", b}, {"difference", std::move(difference)}}}};
}

} // namespace plughost::analyze
