// SPDX-License-Identifier: MIT
// --baseline: checks an analysis against an earlier one of the same plug-in, so that a plug-in's
// sound cannot drift between releases unnoticed. Each measurement has a tolerance; what moved
// further is named with the point it moved at and by how much, the worst point per quantity.
// A changed setting (schema, sample rate, precision, parameters, what was measured) makes the
// two runs incomparable and is reported as a mismatch of its own.
#include "tools/hostlib/tool_error.h"
#include "tools/plughost/analyze_command.h"
#include "tools/plughost/analyze_points.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>

namespace plughost::analyze {
namespace {

using Number = std::optional<double>;

// Levels below these floors count as the floor: distortion at -130 or -140 dB is no change a
// listener or a gate cares about, and silence (null, minus infinity) is at the floor too.
constexpr double kRatioFloorDb = -100.0;   // THD, aliasing
constexpr double kLevelFloorDbfs = -120.0; // magnitude, dynamics, instrument levels
constexpr double kNoiseFloorDbfs = -150.0; // the noise floor with silent input

std::string number(double v) {
   char text[32];
   std::snprintf(text, sizeof text, "%.6g", v);
   return text;
}

std::string signedNumber(double v) {
   return (v > 0 ? "+" : "") + number(v);
}

Number floored(Number v, double floor) {
   return v ? std::max(*v, floor) : floor;
}

// The worst move of one quantity over its points, and how many points moved too far.
class Worst {
public:
   Worst(std::string label, std::string unit, double tolerance, bool percent = false)
       : label_(std::move(label)), unit_(std::move(unit)), tolerance_(tolerance),
         percent_(percent) {}

   // `where` is said after the label for the worst point: " at 1000 Hz".
   void check(Number was, Number now, const std::string& where) {
      if (tolerance_ < 0 || (!was && !now)) return;
      double excess;
      if (!was || !now) {
         excess = std::numeric_limits<double>::infinity();
      } else {
         const double moved = std::fabs(*now - *was);
         // A relative tolerance is taken of the baseline's value, and of at least a small
         // amount, so that a zero in the baseline does not make every change a regression.
         const double allowed =
             percent_ ? tolerance_ / 100.0 * std::max(std::fabs(*was), 1e-3) : tolerance_;
         excess = moved - allowed;
         if (!(excess > 1e-9 * std::max(1.0, std::fabs(*was)))) return;
      }
      if (beyond_++ == 0 || excess > worst_) {
         worst_ = excess;
         was_ = was;
         now_ = now;
         where_ = where;
      }
   }

   void report(std::vector<std::string>& lines) const {
      if (beyond_ == 0) return;
      std::string line = label_ + where_;
      if (!was_ || !now_) {
         line += " is " + (now_ ? number(*now_) + " " + unit_ : std::string("not measured")) +
                 " now, " + (was_ ? number(*was_) + " " + unit_ : std::string("not measured")) +
                 " in the baseline";
      } else {
         line += " moved " + signedNumber(*now_ - *was_) + " " + unit_ + " (" + number(*was_) +
                 " to " + number(*now_);
         if (percent_ && *was_ != 0)
            line += ", " + signedNumber(100 * (*now_ - *was_) / *was_) + " %";
         line += "; tolerance " + number(tolerance_) + (percent_ ? " %" : " " + unit_) + ")";
      }
      if (beyond_ > 1) line += ", and " + std::to_string(beyond_ - 1) + " more points beyond it";
      lines.push_back(std::move(line));
   }

private:
   std::string label_, unit_;
   double tolerance_;
   bool percent_;
   int beyond_ = 0;
   double worst_ = 0;
   Number was_, now_;
   std::string where_;
};

// " at 1000 Hz": the grid's coordinate of point i, in `unit`.
std::string atCoordinate(const Json& grid, size_t i, const std::string& unit) {
   const auto f = i < grid.size() ? numberOf(grid[i]) : Number();
   return f ? " at " + number(*f) + " " + unit : " at point " + std::to_string(i);
}

std::string atPoint(const Json& point) {
   std::string where = " at";
   if (const auto f = numberAt(point, "frequency_hz")) where += " " + number(*f) + " Hz";
   if (const auto l = numberAt(point, "level_dbfs")) where += " " + number(*l) + " dBFS";
   if (const auto c = numberAt(point, "channel")) where += " on output " + number(*c);
   return where;
}

class Gate {
public:
   Gate(const Tolerances& tolerances, std::vector<std::string>& lines)
       : tolerances_(tolerances), lines_(lines) {}

   double tolerance(const std::string& name) const {
      const auto it = tolerances_.find(name);
      return it == tolerances_.end() ? -1.0 : it->second;
   }

   void scalar(const std::string& label, const std::string& unit, const std::string& tolerance,
               Number was, Number now, bool percent = false) {
      Worst w(label, unit, this->tolerance(tolerance), percent);
      w.check(was, now, "");
      w.report(lines_);
   }

   // One list per output channel on the grid `grid` (coordinates in `gridUnit`), each checked
   // point by point; `floor` (if any) as floored() takes it, `keep` chooses the points that
   // count.
   template <class Keep>
   void channels(const std::string& label, const std::string& unit, double tolerance,
                 const Json& grid, const std::string& gridUnit, const Json& was, const Json& now,
                 std::optional<double> floor, Keep keep, bool wrap = false) {
      if (!was.is_array() || !now.is_array()) return;
      if (was.size() != now.size()) {
         lines_.push_back(label + " has " + std::to_string(now.size()) + " output channels now, " +
                          std::to_string(was.size()) + " in the baseline");
      }
      for (size_t c = 0; c < std::min(was.size(), now.size()); ++c) {
         Worst w(label + "[" + std::to_string(c) + "]", unit, tolerance);
         for (size_t i = 0; i < std::min(was[c].size(), now[c].size()); ++i) {
            if (!keep(c, i)) continue;
            Number x = numberOf(was[c][i]), y = numberOf(now[c][i]);
            if (floor) x = floored(x, *floor), y = floored(y, *floor);
            if (wrap && x && y) y = *x + wrapDegrees(*y - *x);
            w.check(x, y, atCoordinate(grid, i, gridUnit));
         }
         w.report(lines_);
      }
   }

   // Points matched by channel, frequency and level; a point the baseline has and this run
   // lacks is a mismatch.
   void points(const std::string& label, const std::string& unit, double tolerance, const Json& was,
               const Json& now, std::initializer_list<const char*> keys, double floor) {
      if (!was.is_array()) return;
      for (const char* key : keys) {
         Worst w(label + "." + key, unit, tolerance);
         for (const Json& point : was) {
            const Json* other = matchingPoint(now, point);
            if (!other) continue;
            w.check(floored(numberAt(point, key), floor), floored(numberAt(*other, key), floor),
                    atPoint(point));
         }
         w.report(lines_);
      }
      size_t missing = 0;
      for (const Json& point : was)
         missing += matchingPoint(now, point) == nullptr;
      if (missing > 0) {
         lines_.push_back(label + ": " + std::to_string(missing) +
                          " points of the baseline were not measured now (a changed grid)");
      }
   }

   std::vector<std::string>& lines() { return lines_; }

private:
   const Tolerances& tolerances_;
   std::vector<std::string>& lines_;
};

std::string text(const Json& v) {
   if (v.is_string()) return v.get<std::string>();
   if (v.is_null()) return "none";
   return v.dump();
}

// What must be the same for the two runs to be comparable: the plug-in's identity and layout,
// the sample rate, block size and precision, every parameter.
void checkSettings(const Json& was, const Json& now, std::vector<std::string>& lines) {
   for (const char* key : {"unique_id", "inputs", "outputs", "instrument"}) {
      const Json& x = field(field(was, "plugin"), key);
      const Json& y = field(field(now, "plugin"), key);
      if (x != y)
         lines.push_back("plugin." + std::string(key) + " is " + text(y) + " now, " + text(x) +
                         " in the baseline");
   }
   for (const char* key : {"sample_rate", "block_size", "precision"}) {
      const Json& x = field(field(was, "settings"), key);
      const Json& y = field(field(now, "settings"), key);
      if (x != y)
         lines.push_back("settings." + std::string(key) + " is " + text(y) + " now, " + text(x) +
                         " in the baseline");
   }
   const Json& x = field(field(was, "settings"), "parameters");
   const Json& y = field(field(now, "settings"), "parameters");
   if (x.is_array() && y.is_array()) {
      if (x.size() != y.size()) {
         lines.push_back("settings.parameters: " + std::to_string(y.size()) + " parameters now, " +
                         std::to_string(x.size()) + " in the baseline");
      }
      for (size_t i = 0; i < std::min(x.size(), y.size()); ++i) {
         if (field(x[i], "value") == field(y[i], "value") &&
             field(x[i], "name") == field(y[i], "name"))
            continue;
         const auto shown = [](const Json& p) {
            return text(field(p, "value")) + " (" + text(field(p, "display")) +
                   (field(p, "label").is_string() && !field(p, "label").get<std::string>().empty()
                        ? " " + text(field(p, "label"))
                        : "") +
                   ")";
         };
         lines.push_back("settings.parameters[" + std::to_string(i) + "] '" +
                         text(field(y[i], "name")) + "' is " + shown(y[i]) + " now, " +
                         shown(x[i]) + " in the baseline");
      }
   }
}

void checkLinear(Gate& gate, const Json& was, const Json& now) {
   const Json& grid = field(was, "frequency_hz");
   if (!sameGrid(grid, field(now, "frequency_hz"))) {
      gate.lines().push_back("linear.frequency_hz: the grid differs from the baseline's");
      return;
   }
   for (const char* flag : {"time_variant", "level_dependent"}) {
      const Json& x = field(field(was, "confidence"), flag);
      const Json& y = field(field(now, "confidence"), flag);
      if (x != y)
         gate.lines().push_back("linear.confidence." + std::string(flag) + " is " + text(y) +
                                " now, " + text(x) + " in the baseline");
   }
   // A response that changes over time is no fixed curve to hold a plug-in to point by point.
   const bool variant = field(field(was, "confidence"), "time_variant") == true &&
                        field(field(now, "confidence"), "time_variant") == true;
   if (variant) return;
   const auto all = [](size_t, size_t) { return true; };
   gate.channels("linear.magnitude_db", "dB", gate.tolerance("magnitude"), grid, "Hz",
                 field(was, "magnitude_db"), field(now, "magnitude_db"), kLevelFloorDbfs, all);
   // Phase means nothing where there is next to no output.
   const Json& magWas = field(was, "magnitude_db");
   const Json& magNow = field(now, "magnitude_db");
   const auto audible = [&](size_t c, size_t i) {
      const auto level = [&](const Json& m) {
         return c < m.size() && i < m[c].size() ? numberOf(m[c][i]) : Number();
      };
      const Number x = level(magWas), y = level(magNow);
      return x && y && *x > kLevelFloorDbfs && *y > kLevelFloorDbfs;
   };
   gate.channels("linear.phase_deg", "degrees", gate.tolerance("phase"), grid, "Hz",
                 field(was, "phase_deg"), field(now, "phase_deg"), std::nullopt, audible, true);
}

void checkSection(Gate& gate, const std::string& name, const Json& was, const Json& now) {
   if (name == "latency") {
      gate.scalar("latency.reported", "frames", "latency", numberAt(was, "reported"),
                  numberAt(now, "reported"));
      gate.scalar("latency.measured", "frames", "latency", numberAt(was, "measured"),
                  numberAt(now, "measured"));
   } else if (name == "linear") {
      checkLinear(gate, was, now);
   } else if (name == "thd") {
      gate.points("thd.points", "dB", gate.tolerance("thd"), field(was, "points"),
                  field(now, "points"), {"thd_db", "thdn_db"}, kRatioFloorDb);
   } else if (name == "dynamics") {
      const Json& grid = field(was, "input_dbfs");
      if (!sameGrid(grid, field(now, "input_dbfs"))) {
         gate.lines().push_back("dynamics.input_dbfs: the input levels differ from the baseline's");
      } else {
         const auto all = [](size_t, size_t) { return true; };
         gate.channels("dynamics.output_dbfs", "dB", gate.tolerance("dynamics"), grid, "dBFS in",
                       field(was, "output_dbfs"), field(now, "output_dbfs"), kLevelFloorDbfs, all);
      }
      for (const char* key : {"attack_ms", "release_ms"}) {
         gate.scalar("dynamics." + std::string(key), "ms", "dynamics_time", numberAt(was, key),
                     numberAt(now, key), true);
      }
   } else if (name == "aliasing") {
      gate.points("aliasing.points", "dB", gate.tolerance("aliasing"), field(was, "points"),
                  field(now, "points"), {"alias_db"}, kRatioFloorDb);
   } else if (name == "time") {
      for (const char* key : {"tail_s_60db", "tail_s_120db"})
         gate.scalar("time." + std::string(key), "s", "tail", numberAt(was, key),
                     numberAt(now, key), true);
      gate.scalar("time.tail_reported", "frames", "latency", numberAt(was, "tail_reported"),
                  numberAt(now, "tail_reported"));
      gate.scalar("time.noise_floor_dbfs", "dB", "noise_floor",
                  floored(numberAt(was, "noise_floor_dbfs"), kNoiseFloorDbfs),
                  floored(numberAt(now, "noise_floor_dbfs"), kNoiseFloorDbfs));
   } else if (name == "cost") {
      const double tolerance = gate.tolerance("cost");
      if (tolerance < 0 || !sameGrid(field(was, "block_sizes"), field(now, "block_sizes"))) return;
      // Only a slowdown is a regression: the factor may grow as much as it likes.
      for (const auto& [precision, factors] : field(was, "realtime_factor").items()) {
         const Json& other = field(field(now, "realtime_factor"), precision);
         Worst w("cost.realtime_factor[" + precision + "]", "x", tolerance, true);
         for (size_t i = 0; i < std::min(factors.size(), other.size()); ++i) {
            const Number x = numberOf(factors[i]), y = numberOf(other[i]);
            if (x && y && *y >= *x) continue;
            w.check(x, y, " at " + text(field(was, "block_sizes")[i]) + " frames");
         }
         w.report(gate.lines());
      }
   } else if (name == "instrument") {
      for (const char* key : {"level_dbfs", "peak_dbfs"}) {
         gate.scalar("instrument." + std::string(key), "dB", "instrument",
                     floored(numberAt(was, key), kLevelFloorDbfs),
                     floored(numberAt(now, key), kLevelFloorDbfs));
      }
   }
}

} // namespace

Tolerances defaultTolerances() {
   return {{"magnitude", 0.1},   {"phase", 1.0},         {"latency", 0.0},  {"thd", 1.0},
           {"dynamics", 0.3},    {"dynamics_time", 5.0}, {"aliasing", 1.0}, {"tail", 5.0},
           {"noise_floor", 3.0}, {"instrument", 1.0},    {"cost", -1.0}};
}

void setTolerance(Tolerances& tolerances, const std::string& assignment) {
   const auto equals = assignment.find('=');
   const std::string name = assignment.substr(0, equals);
   if (equals == std::string::npos || !tolerances.count(name)) {
      std::string names;
      for (const auto& [known, value] : tolerances)
         names += (names.empty() ? "" : ", ") + known;
      throw ToolError(ExitCode::usage, "--tolerance '" + assignment + "' names no tolerance",
                      "use NAME=VALUE with NAME one of " + names);
   }
   const std::string value = assignment.substr(equals + 1);
   char* end = nullptr;
   const double v = std::strtod(value.c_str(), &end);
   if (value.empty() || *end != '\0' || !std::isfinite(v)) {
      throw ToolError(ExitCode::usage,
                      "--tolerance " + name + " needs a number, not '" + value + "'",
                      "e.g. --tolerance " + name + "=0.5; a negative value leaves it ungated");
   }
   tolerances[name] = v;
}

std::vector<std::string> baselineRegressions(const Json& baseline, const Json& now,
                                             const Tolerances& tolerances) {
   std::vector<std::string> lines;
   if (baseline.contains("compare") || baseline.contains("collection")) {
      lines.push_back("the baseline is no analysis of one plug-in: give the --json output of one");
      return lines;
   }
   if (field(baseline, "schema") != field(now, "schema")) {
      lines.push_back("schema is " + text(field(now, "schema")) + " now, " +
                      text(field(baseline, "schema")) +
                      " in the baseline: measure the baseline again with this plughost");
      return lines;
   }
   checkSettings(baseline, now, lines);
   Gate gate(tolerances, lines);
   for (const char* name :
        {"latency", "linear", "thd", "dynamics", "aliasing", "time", "cost", "instrument"}) {
      const Json* was = measuredSection(baseline, name);
      if (!was) continue; // nothing to hold this run to
      const Json* measured = measuredSection(now, name);
      if (!measured) {
         const Json& section = field(now, name);
         lines.push_back(
             std::string(name) + ": measured in the baseline, " +
             (section.is_object()
                  ? text(field(section, "status")) + " now" +
                        (section.contains("reason") ? " (" + text(field(section, "reason")) + ")"
                                                    : "")
                  : std::string("not measured now")));
         continue;
      }
      checkSection(gate, name, *was, *measured);
   }
   return lines;
}

} // namespace plughost::analyze
