#include "tools/hostlib/render.h"

#include "tools/hostlib/tool_error.h"

#include <algorithm>
#include <type_traits>
#include <vector>

namespace plughost {

template <class Sample>
PlanarAudio<Sample> render(PluginInstance& instance, const PlanarAudio<Sample>& input,
                           int32_t blockSize, const RenderProgress& progress) {
   const auto inputs = static_cast<size_t>(std::max(instance.record().numInputs, 0));
   const auto outputs = static_cast<size_t>(std::max(instance.record().numOutputs, 0));
   if (input.channels.size() != inputs) {
      throw ToolError(ExitCode::usage,
                      "the signal has " + std::to_string(input.channels.size()) +
                          " channels but the plug-in takes " + std::to_string(inputs),
                      "give an audio file with as many channels as the plug-in has inputs");
   }
   if constexpr (std::is_same_v<Sample, double>) {
      if (!instance.canProcessDouble()) {
         throw ToolError(ExitCode::usage, "the plug-in does not process 64-bit audio",
                         "process with 32-bit samples instead (--precision 32)");
      }
   }
   if (blockSize <= 0) {
      throw ToolError(ExitCode::usage, "block size " + std::to_string(blockSize) + " is too small",
                      "give a block size of at least 1 frame");
   }
   const size_t total = input.frames();
   const auto block = static_cast<size_t>(blockSize);
   PlanarAudio<Sample> output(outputs, total);
   PlanarAudio<Sample> inBlock(inputs, block);
   PlanarAudio<Sample> outBlock(outputs, block);
   // The pointer arrays are never empty, so that an instance without inputs or outputs still
   // receives valid array addresses.
   std::vector<Sample*> inPointers(std::max<size_t>(inputs, 1), nullptr);
   std::vector<Sample*> outPointers(std::max<size_t>(outputs, 1), nullptr);
   for (size_t c = 0; c < inputs; ++c)
      inPointers[c] = inBlock.channels[c].data();
   for (size_t c = 0; c < outputs; ++c)
      outPointers[c] = outBlock.channels[c].data();

   for (size_t done = 0; done < total;) {
      const size_t n = std::min(block, total - done);
      for (size_t c = 0; c < inputs; ++c) {
         std::copy_n(input.channels[c].begin() + static_cast<std::ptrdiff_t>(done), n,
                     inBlock.channels[c].begin());
      }
      instance.process(inPointers.data(), outPointers.data(), static_cast<int32_t>(n));
      for (size_t c = 0; c < outputs; ++c) {
         std::copy_n(outBlock.channels[c].begin(), n,
                     output.channels[c].begin() + static_cast<std::ptrdiff_t>(done));
      }
      done += n;
      if (progress) progress(done, total);
   }
   return output;
}

template PlanarAudio<float> render<float>(PluginInstance&, const PlanarAudio<float>&, int32_t,
                                          const RenderProgress&);
template PlanarAudio<double> render<double>(PluginInstance&, const PlanarAudio<double>&, int32_t,
                                            const RenderProgress&);

} // namespace plughost
