// SPDX-License-Identifier: MIT
#include "tools/hostlib/analysis/analysis.h"

#include "tools/hostlib/analysis/measurements.h"
#include "tools/hostlib/analysis/plugin_device.h"
#include "tools/hostlib/child_process.h"

#include <trimwise/host/plugin.h>

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>

namespace trimwise::host::analysis {
namespace {

using plughost::ChildOptions;
using plughost::ChildResult;
using plughost::jsonNumber;

// The measurements that play a signal into the plug-in's inputs; an instrument without inputs
// gets "instrument" in their place.
const std::set<std::string> kAudioInput = {"linear", "thd", "dynamics", "aliasing", "time"};

// The sections of the document in their order; "latency" comes with "linear".
const std::vector<std::string> kSections = {"latency",  "linear", "thd",  "dynamics",
                                            "aliasing", "time",   "cost", "instrument"};

std::string format(const char* pattern, double value) {
   char text[64];
   std::snprintf(text, sizeof text, pattern, value);
   return text;
}

std::vector<std::string> requested(const AnalysisOptions& options) {
   if (options.what.empty()) return kMeasurements;
   std::vector<std::string> what;
   for (const auto& name : kMeasurements) {
      if (std::find(options.what.begin(), options.what.end(), name) != options.what.end())
         what.push_back(name);
   }
   for (const auto& name : options.what) {
      if (std::find(kMeasurements.begin(), kMeasurements.end(), name) == kMeasurements.end()) {
         std::string names;
         for (const auto& n : kMeasurements)
            names += (names.empty() ? "" : ", ") + n;
         throw BadArgument("there is no measurement '" + name + "'",
                           "the measurements are " + names);
      }
   }
   return what;
}

// The sections one measurement fills.
std::vector<std::string> sectionsOf(const std::string& measurement) {
   if (measurement == "linear") return {"latency", "linear"};
   return {measurement};
}

Json statusSection(const std::string& status, const std::string& reason) {
   return Json{{"status", status}, {"reason", reason}};
}

// ---- What runs in the child (or here, when not isolated).

// A Device that notes what it plays where the parent can read it after a crash.
class NotingDevice : public Device {
public:
   NotingDevice(std::unique_ptr<Device> device, char* note, size_t capacity)
       : device_(std::move(device)), note_(note), capacity_(capacity) {}

   double sampleRate() const override { return device_->sampleRate(); }
   int32_t outputs() const override { return device_->outputs(); }
   int32_t mainInputs() const override { return device_->mainInputs(); }
   bool isInstrument() const override { return device_->isInstrument(); }
   int32_t reportedLatency() override { return device_->reportedLatency(); }
   int32_t reportedTail() override { return device_->reportedTail(); }
   int precision() const override { return device_->precision(); }
   void reset() override {
      write("opening a new instance");
      device_->reset();
   }
   Channels play(std::span<const double> input, size_t extraFrames,
                 std::string_view signal) override {
      write(signal);
      return device_->play(input, extraFrames, signal);
   }
   Channels playNotes(std::span<const MidiEvent> events, size_t frames,
                      std::string_view signal) override {
      write(signal);
      return device_->playNotes(events, frames, signal);
   }

private:
   void write(std::string_view text) {
      if (!note_ || capacity_ == 0) return;
      const size_t n = std::min(text.size(), capacity_ - 1);
      std::memcpy(note_, text.data(), n);
      note_[n] = '\0';
   }

   std::unique_ptr<Device> device_;
   char* note_;
   size_t capacity_;
};

// Runs one measurement on fresh instances and returns its sections, {"thd": {...}} or
// {"latency": {...}, "linear": {...}}. Output the measurement cannot use makes them "failed".
Json runMeasurement(const std::string& name, const std::string& path,
                    const AnalysisOptions& options, char* note, size_t capacity) {
   Json sections = Json::object();
   try {
      const Plugin plugin = Plugin::load(path);
      if (name == "cost") {
         sections["cost"] = measureCost(plugin, options);
         return sections;
      }
      const MachineShare share; // never while a cost section times
      NotingDevice device(openDevice(plugin, options), note, capacity);
      if (name == "linear") {
         const Json both = measureLinear(device, options);
         for (const auto& key : {"latency", "linear"})
            sections[key] = both.contains(key) ? both[key] : statusSection("failed", "no result");
      } else if (name == "thd") {
         sections[name] = measureThd(device, options);
      } else if (name == "dynamics") {
         sections[name] = measureDynamics(device, options);
      } else if (name == "aliasing") {
         sections[name] = measureAliasing(device, options);
      } else if (name == "time") {
         sections[name] = measureTime(device, options);
      } else if (name == "instrument") {
         sections[name] = measureInstrument(device, options);
      }
   } catch (const MeasurementFailed& e) {
      for (const auto& key : sectionsOf(name))
         sections[key] = statusSection("failed", e.what());
   } catch (const std::exception& e) {
      for (const auto& key : sectionsOf(name))
         sections[key] = statusSection("failed", e.what());
   }
   return sections;
}

// The plug-in as it is set up for the measurements: identity, channels, reported latency and
// tail, and every parameter once the state and settings are applied.
Json identify(const std::string& path, const AnalysisOptions& options) {
   const Plugin plugin = Plugin::load(path);
   Instance instance = [&] {
      try {
         return plugin.instantiate(
             {.sampleRate = options.sampleRate, .blockSize = options.blockSize});
      } catch (const LoadError& e) {
         // It opened at the rate it was probed at, so this one is the rate's doing.
         throw Error(ErrorKind::failed,
                     "'" + path + "' refuses a sample rate of " +
                         format("%g Hz", options.sampleRate) + ": " + e.what(),
                     "measure it at a rate it takes, e.g. 48000 Hz");
      }
   }();
   if (!options.state.empty()) instance.setState(options.state);
   for (const auto& setting : options.settings)
      instance.set(setting);
   const int precision = processingPrecision(instance, options);
   instance.start();
   Json plugin_ = {{"path", path},
                   {"name", plughost::jsonText(instance.name())},
                   {"vendor", plughost::jsonText(instance.vendor())},
                   {"product", plughost::jsonText(instance.product())},
                   {"version", instance.vendorVersion()},
                   {"unique_id", instance.uniqueId()},
                   {"category", instance.category()},
                   {"inputs", instance.inputs()},
                   {"outputs", instance.outputs()},
                   {"instrument", instance.isInstrument() || instance.inputs() == 0},
                   {"can_process_double", instance.canProcessDouble()},
                   {"reported_latency", instance.latency()},
                   {"reported_tail", instance.tail()}};
   instance.stop();
   Json parameters = Json::array();
   for (const auto& p : instance.parameters()) {
      parameters.push_back({{"index", p.index},
                            {"name", plughost::jsonText(p.name)},
                            {"value", jsonNumber(p.value)},
                            {"display", plughost::jsonText(p.display)},
                            {"label", plughost::jsonText(p.label)}});
   }
   Json settings = {{"sample_rate", jsonNumber(options.sampleRate)},
                    {"block_size", options.blockSize},
                    {"precision", precision},
                    {"side_chain", options.sideChain},
                    {"assignments", options.settings},
                    {"state_bytes", options.state.size()},
                    {"parameters", parameters}};
   return Json{{"plugin", plugin_}, {"settings", settings}};
}

// ---- Errors across the pipe: the child answers {"error": {...}} for what it throws.

Json errorJson(const Error& e) {
   return Json{
       {"error", {{"kind", static_cast<int>(e.kind())}, {"cause", e.what()}, {"hint", e.hint()}}}};
}

[[noreturn]] void rethrow(const Json& error) {
   const auto kind = static_cast<ErrorKind>(error.value("kind", 4));
   const std::string cause = error.value("cause", "");
   const std::string hint = error.value("hint", "");
   switch (kind) {
   case ErrorKind::load:
      throw LoadError(cause, hint);
   case ErrorKind::badArgument:
      throw BadArgument(cause, hint);
   case ErrorKind::file:
      throw FileError(cause, hint);
   case ErrorKind::crash:
      throw PluginCrashed(cause, hint);
   case ErrorKind::failed:
      break;
   }
   throw Error(ErrorKind::failed, cause, hint);
}

std::string guarded(const std::function<Json()>& body) {
   try {
      return plughost::jsonLine(body());
   } catch (const Error& e) {
      return plughost::jsonLine(errorJson(e));
   } catch (const std::exception& e) {
      return plughost::jsonLine(errorJson(Error(ErrorKind::failed, e.what(), "")));
   }
}

// A few hundred bytes shared with the children, in which each notes the signal it plays.
class SharedNote {
public:
   static constexpr size_t kCapacity = 256;
   SharedNote() {
      void* p = mmap(nullptr, kCapacity, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
      note_ = p == MAP_FAILED ? nullptr : static_cast<char*>(p);
      clear();
   }
   ~SharedNote() {
      if (note_) munmap(note_, kCapacity);
   }
   SharedNote(const SharedNote&) = delete;
   SharedNote& operator=(const SharedNote&) = delete;
   char* data() { return note_; }
   void clear() {
      if (note_) note_[0] = '\0';
   }
   std::string text() const { return note_ ? std::string(note_, strnlen(note_, kCapacity)) : ""; }

private:
   char* note_ = nullptr;
};

// What a measurement's child left when it did not answer: its sections, all "crashed" or
// "timeout", naming the signal, the call in flight and what was playing.
Json endedSections(const std::string& name, const ChildResult& child, const std::string& playing,
                   double timeoutSeconds) {
   const std::string in = child.inFlightSuffix();
   const std::string during = playing.empty() ? "" : ", playing " + playing;
   Json section;
   if (child.timedOut) {
      section = statusSection("timeout",
                              format("did not finish within %g s and was stopped", timeoutSeconds) +
                                  (in.empty() ? "" : "; it was" + in) + during);
   } else if (child.signaled()) {
      section = statusSection("crashed", "crashed with " + child.endText() + in + during);
      section["signal"] = child.endText();
   } else {
      section =
          statusSection("crashed", "ended its process (" + child.endText() + ")" + in + during);
   }
   section["call"] = child.inFlight.empty() ? Json(nullptr) : Json(child.inFlight);
   section["playing"] = playing.empty() ? Json(nullptr) : Json(playing);
   Json sections = Json::object();
   for (const auto& key : sectionsOf(name))
      sections[key] = section;
   return sections;
}

// ---- Findings: what the report lists first.

void addFinding(Json& findings, const std::string& measurement, const std::string& severity,
                const std::string& text) {
   findings.push_back({{"measurement", measurement}, {"severity", severity}, {"text", text}});
}

std::string number(const Json& value) {
   if (value.is_number_integer()) return std::to_string(value.get<long long>());
   if (value.is_number()) return format("%.3g", value.get<double>());
   return "?";
}

Json findingsOf(const Json& doc) {
   Json findings = Json::array();
   for (const auto& key : kSections) {
      if (!doc.contains(key)) continue;
      const Json& s = doc[key];
      const std::string status = s.value("status", "");
      if (status == "failed" || status == "crashed" || status == "timeout") {
         // The latency comes from the linear measurement: its failure is listed there, once.
         if (key != "latency" || !doc.contains("linear"))
            addFinding(findings, key, "failure", key + " " + status + ": " + s.value("reason", ""));
         continue;
      }
      if (status != "ok") continue;
      if (key == "latency" && s.value("flagged", false)) {
         const Json& r = s["reported"];
         const Json& m = s["measured"];
         const long long gap = r.is_number() && m.is_number()
                                   ? std::llabs(m.get<long long>() - r.get<long long>())
                                   : 0;
         addFinding(findings, key, "flag",
                    "reports " + number(r) + " frames of latency but measures " + number(m) +
                        ": a host compensating " + number(r) + " misaligns the track by " +
                        std::to_string(gap) + " frames");
      }
      if (key == "time" && s.value("tail_flagged", false)) {
         const Json& reported = s.contains("tail_reported") ? s["tail_reported"] : Json();
         const bool none = !reported.is_number() || reported.get<double>() <= 1;
         const std::string measured =
             s.contains("tail_s_60db") ? number(s["tail_s_60db"]) + " s" : "longer";
         addFinding(findings, key, "flag",
                    (none ? std::string("reports no tail")
                          : "reports a tail of " + number(reported) + " frames") +
                        " but its output takes " +
                        (s.value("tail_s_60db_capped", false) ? "≥ " : "") + measured +
                        " to decay by 60 dB: a host may cut the sound short");
      }
      if (key == "linear" && s.contains("confidence")) {
         const Json& c = s["confidence"];
         if (c.value("time_variant", false)) {
            addFinding(findings, key, "info",
                       "changes over time (two sweeps differ by " +
                           number(c.value("time_residual_db", Json())) +
                           " dB): the response shown is one moment's, not an exact one");
         }
         if (c.value("level_dependent", false)) {
            addFinding(findings, key, "info",
                       "responds differently 20 dB lower (residual " +
                           number(c.value("level_residual_db", Json())) +
                           " dB): the response shown holds for the sweep's level only");
         }
      }
   }
   return findings;
}

} // namespace

Json analyze(const std::string& pathOrName, const AnalysisOptions& options,
             const AnalysisProgress& progress) {
   const std::vector<std::string> what = requested(options);
   const std::string path = findPlugin(pathOrName);
   SharedNote note;
   ChildOptions child;
   child.timeoutSeconds = options.timeoutSeconds;

   // Whatever keeps every measurement from starting is thrown before any runs: a plug-in that
   // cannot be loaded, a setting or state it refuses, a rate it will not open at.
   if (options.isolated) probe(path, options.timeoutSeconds);
   Json identity;
   if (options.isolated) {
      ChildResult r = plughost::runInChild(
          [&] { return guarded([&] { return identify(path, options); }); }, child);
      if (r.timedOut) {
         throw PluginTimeout("'" + path + "' did not finish opening within " +
                                 format("%g s", options.timeoutSeconds),
                             "it may wait for something that never comes", r.inFlight);
      }
      if (r.inFlight.find("effSetSampleRate") != std::string::npos) {
         // The interface gives a plug-in no way to say no to a rate but this.
         throw Error(ErrorKind::failed,
                     "'" + path + "' refuses a sample rate of " +
                         format("%g Hz", options.sampleRate) + ": it " +
                         (r.signaled() ? "crashed with " + r.endText() : "ended its process") +
                         r.inFlightSuffix(),
                     "measure it at a rate it takes, e.g. 48000 Hz");
      }
      if (r.signaled() || r.exitStatus() != 0 || r.output.empty()) {
         throw PluginCrashed(
             "'" + path + "' crashed while being set up at " + format("%g Hz", options.sampleRate) +
                 ": " + r.endText() + r.inFlightSuffix(),
             "'plughost validate' may find out where", r.inFlight, r.signaled() ? r.signal() : 0);
      }
      identity = Json::parse(r.output, nullptr, false);
   } else {
      identity = Json::parse(guarded([&] { return identify(path, options); }));
   }
   if (identity.is_discarded()) throw Error(ErrorKind::failed, "no answer from the set-up", "");
   if (identity.contains("error")) rethrow(identity["error"]);

   const bool instrument = identity["plugin"].value("instrument", false);
   Json doc = {{"schema", kSchema},
               {"plugin", identity["plugin"]},
               {"settings", identity["settings"]},
               {"what", what},
               {"findings", Json::array()}};

   // The measurements to run, in order: the audio-input ones (for an instrument, its own in
   // their place), then cost, alone and last.
   std::vector<std::string> runs;
   bool audio = false;
   for (const auto& name : what) {
      if (kAudioInput.count(name)) {
         audio = true;
         for (const auto& key : sectionsOf(name)) {
            doc[key] = instrument ? statusSection("not_applicable",
                                                  "needs an audio input: the plug-in is an "
                                                  "instrument without one")
                                  : Json(nullptr);
         }
         if (!instrument) runs.push_back(name);
      } else {
         doc[name] = nullptr;
      }
   }
   if (instrument && audio) {
      runs.push_back("instrument");
      doc["instrument"] = nullptr;
   }
   if (std::find(what.begin(), what.end(), "cost") != what.end()) {
      runs.erase(std::remove(runs.begin(), runs.end(), "cost"), runs.end());
      runs.push_back("cost");
   }
   // Reorder the sections as the document lists them.
   for (const auto& key : kSections) {
      if (!doc.contains(key)) continue;
      Json section = doc[key];
      doc.erase(key);
      doc[key] = section;
   }

   std::string stopped; // the measurement that crashed or hung, if any
   for (const auto& name : runs) {
      if (!stopped.empty()) {
         for (const auto& key : sectionsOf(name))
            doc[key] = statusSection("not_run", "not run: the plug-in " + stopped);
         continue;
      }
      if (progress) progress(name);
      note.clear();
      Json sections;
      if (options.isolated) {
         ChildResult r = plughost::runInChild(
             [&] {
                return plughost::jsonLine(
                    runMeasurement(name, path, options, note.data(), SharedNote::kCapacity));
             },
             child);
         Json answer = r.output.empty() || r.timedOut || r.signaled() || r.exitStatus() != 0
                           ? Json(nullptr)
                           : Json::parse(r.output, nullptr, false);
         if (answer.is_object()) {
            sections = answer;
         } else {
            sections = endedSections(name, r, note.text(), options.timeoutSeconds);
            stopped = (r.timedOut ? "hung during " : "crashed during ") + name;
         }
      } else {
         sections = runMeasurement(name, path, options, nullptr, 0);
      }
      for (const auto& key : sectionsOf(name))
         doc[key] = sections.contains(key) ? sections[key] : statusSection("failed", "no result");
   }
   doc["findings"] = findingsOf(doc);
   return doc;
}

} // namespace trimwise::host::analysis
