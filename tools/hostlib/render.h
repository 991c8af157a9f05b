// Runs whole signals through a plug-in instance block by block, as a host's audio engine does.
#pragma once

#include "tools/hostlib/audio_file.h"
#include "tools/hostlib/plugin_instance.h"

#include <cstddef>
#include <functional>

namespace plughost {

// Called after each block with the frames processed so far and the total.
using RenderProgress = std::function<void(size_t done, size_t total)>;

// Processes `input` (one channel per plug-in input) in blocks of at most `blockSize` frames,
// through the 32-bit or 64-bit replacing function according to Sample, and returns one channel
// per plug-in output. Each block is copied into block buffers of the host's own, so the
// instance never sees the caller's storage. The instance must be running (start()).
template <class Sample>
PlanarAudio<Sample> render(PluginInstance& instance, const PlanarAudio<Sample>& input,
                           int32_t blockSize, const RenderProgress& progress = {});

} // namespace plughost
