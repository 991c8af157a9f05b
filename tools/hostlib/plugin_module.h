// SPDX-License-Identifier: MIT
// The module type under the names the host library's own files use.
#pragma once

#include <trimwise/host/raw/module.h>

namespace plughost {
using trimwise::host::raw::PluginEntry;
using trimwise::host::raw::PluginModule;
} // namespace plughost
