// SPDX-License-Identifier: MIT
// The instance types under the names the host library's own files use.
#pragma once

#include "tools/hostlib/plugin_module.h"

#include <trimwise/host/raw/instance.h>

namespace plughost {
using trimwise::host::raw::AudioThread;
using trimwise::host::raw::CallInFlight;
using trimwise::host::raw::describeCallInFlight;
using trimwise::host::raw::HostRequest;
using trimwise::host::raw::HostSettings;
using trimwise::host::raw::kDefaultTempo;
using trimwise::host::raw::kHostProduct;
using trimwise::host::raw::kHostVendor;
using trimwise::host::raw::kHostVersion;
using trimwise::host::raw::PluginInstance;
using trimwise::host::raw::recordCallsInFlight;
using trimwise::host::raw::TextAnswer;
using trimwise::host::raw::TraceSink;
} // namespace plughost
