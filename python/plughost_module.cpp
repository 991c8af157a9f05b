// SPDX-License-Identifier: MIT
// The extension under the Python package plughost: it turns Python values into the host
// library's types and its errors into Python exceptions, and nothing else. Host logic lives in
// the library (tools/hostlib/session.h), so the command line and Python behave alike.
#include "tools/hostlib/batch_plan.h"
#include "tools/hostlib/session.h"

#include <trimwise/host/plugin.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstring>

namespace py = pybind11;
using namespace plughost;

namespace {

// Raises plughost.<name>(cause, hint, call) from the package's own exception classes.
void raise(const char* name, const std::string& cause, const std::string& hint,
           const std::string& call = "") {
   py::object cls = py::module_::import("plughost._errors").attr(name);
   py::object error = cls(cause, hint, call);
   PyErr_SetObject(cls.ptr(), error.ptr());
}

void translate(std::exception_ptr thrown) {
   using trimwise::host::ErrorKind;
   try {
      if (thrown) std::rethrow_exception(thrown);
   } catch (const trimwise::host::PluginTimeout& e) {
      raise("PluginTimeout", e.what(), e.hint(), e.callInFlight());
   } catch (const trimwise::host::PluginCrashed& e) {
      raise("PluginCrashed", e.what(), e.hint(), e.callInFlight());
   } catch (const trimwise::host::Error& e) {
      switch (e.kind()) {
      case ErrorKind::badArgument:
         return raise("PluginValueError", e.what(), e.hint());
      case ErrorKind::file:
         return raise("PluginFileError", e.what(), e.hint());
      case ErrorKind::load:
         return raise("PluginLoadError", e.what(), e.hint());
      case ErrorKind::crash:
         return raise("PluginCrashed", e.what(), e.hint());
      case ErrorKind::failed:
         return raise("PluginError", e.what(), e.hint());
      }
   }
}

// Stops a long call between chunks when Python has a signal to handle (Ctrl-C). Taking the GIL
// costs microseconds, so it is looked at only every 20 ms; a call's first chunk is always.
struct SignalCheck {
   std::chrono::steady_clock::time_point next{};
   void operator()() {
      const auto now = std::chrono::steady_clock::now();
      if (now < next) return;
      next = now + std::chrono::milliseconds(20);
      py::gil_scoped_acquire gil;
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
   }
};

ProcessPlan makePlan(int channels, size_t frames, double sampleRate, int32_t blockSize, bool reset,
                     double tail, double duration, bool compensate,
                     const std::vector<std::pair<double, py::bytes>>& midi,
                     const std::string& midiFile) {
   ProcessPlan plan;
   plan.channels = channels;
   plan.frames = frames;
   plan.sampleRate = sampleRate;
   plan.blockSize = blockSize;
   plan.reset = reset;
   plan.tail = tail;
   plan.duration = duration;
   plan.compensateLatency = compensate;
   for (const auto& [seconds, bytes] : midi)
      plan.midi.push_back({seconds, std::string(bytes)});
   plan.midiFile = midiFile;
   return plan;
}

// `audio` is None or a C-contiguous (channels, frames) array of Sample. The result is a new
// (outputs, frames) array over memory the session chose.
template <class Sample>
py::array process(PluginSession& session, const py::object& audio, double sampleRate,
                  int32_t blockSize, bool reset, double tail, double duration, bool compensate,
                  const std::vector<std::pair<double, py::bytes>>& midi,
                  const std::string& midiFile) {
   std::vector<const Sample*> in;
   size_t frames = 0;
   py::array_t<Sample, py::array::c_style> input;
   if (!audio.is_none()) {
      input = py::array_t<Sample, py::array::c_style>::ensure(audio);
      if (!input || input.ndim() != 2) throw py::type_error("a 2-D float array is expected");
      frames = static_cast<size_t>(input.shape(1));
      for (py::ssize_t c = 0; c < input.shape(0); ++c)
         in.push_back(input.data() + static_cast<size_t>(c) * frames);
   }
   const ProcessPlan plan = makePlan(static_cast<int>(in.size()), frames, sampleRate, blockSize,
                                     reset, tail, duration, compensate, midi, midiFile);
   const size_t outputs = static_cast<size_t>(session.info().outputs);
   size_t outFrames = 0;
   std::shared_ptr<void> memory;
   {
      py::gil_scoped_release released;
      outFrames = session.outputFrames(plan);
      memory = session.outputMemory(outputs * outFrames * sizeof(Sample));
   }
   const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(outputs),
                                        static_cast<py::ssize_t>(outFrames)};
   py::array_t<Sample> result;
   if (memory) {
      // The array keeps the session's memory alive through a capsule holding a reference.
      auto* base = static_cast<Sample*>(memory.get());
      auto* owner = new std::shared_ptr<void>(std::move(memory));
      py::capsule keep(owner, [](void* p) { delete static_cast<std::shared_ptr<void>*>(p); });
      result = py::array_t<Sample>(shape, base, keep);
   } else {
      result = py::array_t<Sample>(shape); // numpy's allocation, huge pages for large ones
   }
   std::vector<Sample*> out;
   for (size_t c = 0; c < outputs; ++c)
      out.push_back(result.mutable_data() + c * outFrames);
   {
      py::gil_scoped_release released;
      session.process(plan, in.data(), out.data(), SignalCheck{});
   }
   return result;
}

} // namespace

PYBIND11_MODULE(_plughost, m) {
   m.doc() = "The host library under the plughost package; use the package, not this module.";
   py::register_exception_translator(translate);

   py::class_<SessionInfo>(m, "SessionInfo")
       .def_readonly("path", &SessionInfo::path)
       .def_readonly("name", &SessionInfo::name)
       .def_readonly("vendor", &SessionInfo::vendor)
       .def_readonly("unique_id", &SessionInfo::uniqueId)
       .def_readonly("inputs", &SessionInfo::inputs)
       .def_readonly("outputs", &SessionInfo::outputs)
       .def_readonly("parameters", &SessionInfo::parameters)
       .def_readonly("programs", &SessionInfo::programs)
       .def_readonly("category", &SessionInfo::category)
       .def_readonly("latency", &SessionInfo::latency)
       .def_readonly("is_instrument", &SessionInfo::instrument)
       .def_readonly("double_precision", &SessionInfo::doublePrecision)
       .def_readonly("chunks", &SessionInfo::chunks);

   // Every call into the plug-in runs without the GIL, so other Python threads go on.
   using Release = py::call_guard<py::gil_scoped_release>;
   py::class_<PluginSession>(m, "Session")
       .def_property_readonly("info", &PluginSession::info, py::return_value_policy::copy)
       .def_property_readonly("sample_rate", &PluginSession::sampleRate)
       .def_property_readonly("block_size", &PluginSession::blockSize)
       .def("parameter_name", &PluginSession::parameterName, Release())
       .def("parameter_label", &PluginSession::parameterLabel, Release())
       .def("parameter_display", &PluginSession::parameterDisplay, Release())
       .def("parameter_value", &PluginSession::parameterValue, Release())
       .def("set_parameter_value", &PluginSession::setParameterValue, Release())
       .def("set_parameter_text", &PluginSession::setParameterText, Release())
       .def("find_parameter", &PluginSession::findParameter, Release())
       .def("program_names", &PluginSession::programNames, Release())
       .def("program", &PluginSession::program, Release())
       .def("set_program", &PluginSession::setProgram, Release())
       .def("save_state",
            [](PluginSession& s) {
               std::vector<unsigned char> state;
               {
                  py::gil_scoped_release released;
                  state = s.saveState();
               }
               return py::bytes(reinterpret_cast<const char*>(state.data()), state.size());
            })
       .def("load_state",
            [](PluginSession& s, const py::bytes& bytes) {
               const std::string text(bytes);
               const std::vector<unsigned char> state(text.begin(), text.end());
               py::gil_scoped_release released;
               s.loadState(state);
            })
       .def("process32", &process<float>)
       .def("process64", &process<double>);

   m.def(
       "open",
       [](const std::string& path, double sampleRate, int32_t blockSize, bool isolated,
          double timeout, const std::string& helper) {
          py::gil_scoped_release released;
          if (isolated) {
             return openIsolatedSession(helper.empty() ? defaultHelper() : helper, path, sampleRate,
                                        blockSize, timeout);
          }
          return openSession(path, sampleRate, blockSize);
       },
       py::arg("path"), py::arg("sample_rate"), py::arg("block_size"), py::arg("isolated"),
       py::arg("timeout"), py::arg("helper") = "");

   m.def(
       "process_file",
       [](const std::vector<PluginSession*>& chain, const std::string& input,
          const std::string& output, bool overwrite, const std::string& encoding,
          const std::string& midi, double tail, int32_t blockSize, int precision) {
          FileJob job;
          job.input = input;
          job.output = output;
          job.overwrite = overwrite;
          job.encoding = encoding;
          job.midi = midi;
          job.tail = tail;
          job.blockSize = blockSize;
          job.precision = precision;
          FileOutcome r;
          {
             py::gil_scoped_release released;
             r = processFile(chain, job, SignalCheck{});
          }
          py::dict result;
          result["frames"] = r.frames;
          result["sample_rate"] = r.sampleRate;
          result["input_channels"] = r.inputChannels;
          result["output_channels"] = r.outputChannels;
          result["output_format"] = r.outputFormat;
          result["format_note"] = r.formatNote;
          result["clipped"] = r.clipped;
          return result;
       },
       py::arg("chain"), py::arg("input"), py::arg("output"), py::arg("overwrite"),
       py::arg("encoding"), py::arg("midi"), py::arg("tail"), py::arg("block_size"),
       py::arg("precision"));

   m.def(
       "plan_batch",
       [](const std::vector<std::string>& inputs, bool recursive, const std::string& outdir,
          const std::string& extension) {
          py::gil_scoped_release released;
          const auto items = planBatch(inputs, recursive, outdir, extension);
          checkBatch(items);
          createOutputFolders(outdir, items);
          std::vector<std::pair<std::string, std::string>> pairs;
          for (const auto& item : items)
             pairs.emplace_back(item.input, item.output);
          return pairs;
       },
       "Input and output of every file, as plughost process -i ... -O OUTDIR plans them.");

   m.def(
       "find",
       [](const std::string& name) {
          py::gil_scoped_release released;
          return trimwise::host::findPlugin(name);
       },
       "The library a path or a name on the search path stands for.");

   m.def(
       "scan",
       [](double timeout) {
          py::gil_scoped_release released;
          std::vector<std::tuple<std::string, std::string, std::string, int32_t, int32_t, int32_t,
                                 int32_t, bool, std::string>>
              rows;
          for (const auto& i : scanInHelper(defaultHelper(), timeout)) {
             rows.emplace_back(i.path, i.name, i.vendor, i.uniqueId, i.category, i.inputs,
                               i.outputs, i.usable, i.reason);
          }
          return rows;
       },
       py::arg("timeout"));

   m.def("default_helper", &defaultHelper, "The plughost executable helper processes run.");
}
