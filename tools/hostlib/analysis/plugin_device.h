// SPDX-License-Identifier: MIT
// The Device a real plug-in is measured through: an instance of the facade, opened at the
// analysis options' rate and block size, with their state and settings.
#pragma once

#include "tools/hostlib/analysis/analysis.h"
#include "tools/hostlib/analysis/device.h"

#include <trimwise/host/plugin.h>

#include <memory>

namespace trimwise::host::analysis {

// Opens an instance of `plugin` as `options` say (rate, block size, state, then settings) and
// plays signals through it in `options.precision` (0: 64-bit where the plug-in processes
// doubles). Throws the library's errors: BadArgument for a setting or state it refuses or a
// precision it lacks, LoadError for an instance it will not open at that rate.
std::unique_ptr<Device> openDevice(const Plugin& plugin, const AnalysisOptions& options);

// The processing precision `options` gives for an instance: 64 or 32. Throws BadArgument when
// 64 is asked of a plug-in that processes 32-bit samples only.
int processingPrecision(Instance& instance, const AnalysisOptions& options);

} // namespace trimwise::host::analysis
