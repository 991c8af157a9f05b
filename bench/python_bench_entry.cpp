// SPDX-License-Identifier: MIT
// The yardstick for bench/python_bench.py: the host library's facade processing a whole array
// in one call, output allocated as a numpy array, as a C++ host would do it. The Python module's
// process() is measured against this in the same process.
#include <trimwise/host/instance.h>
#include <trimwise/host/plugin.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <vector>

namespace py = pybind11;
using trimwise::host::Instance;
using trimwise::host::Plugin;

namespace {

class Renderer {
public:
   Renderer(const std::string& path, double sampleRate, int32_t blockSize)
       : plugin_(Plugin::load(path)), instance_(plugin_.instantiate({sampleRate, blockSize})) {}

   // (channels, frames) float32 in, (outputs, frames) float32 out.
   py::array_t<float> render(const py::array_t<float, py::array::c_style>& audio) {
      const auto frames = static_cast<size_t>(audio.shape(1));
      py::array_t<float> out({static_cast<py::ssize_t>(instance_.outputs()), audio.shape(1)});
      std::vector<const float*> in;
      std::vector<float*> outputs;
      for (py::ssize_t c = 0; c < audio.shape(0); ++c)
         in.push_back(audio.data(c, 0));
      for (py::ssize_t c = 0; c < out.shape(0); ++c)
         outputs.push_back(out.mutable_data(c, 0));
      py::gil_scoped_release released;
      instance_.process(in.data(), outputs.data(), frames);
      return out;
   }

private:
   Plugin plugin_;
   Instance instance_;
};

} // namespace

PYBIND11_MODULE(_plughost_bench, m) {
   py::class_<Renderer>(m, "Renderer")
       .def(py::init<const std::string&, double, int32_t>())
       .def("render", &Renderer::render);
}
