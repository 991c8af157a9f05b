// SPDX-License-Identifier: MIT
/// @file
/// Deprecated include path, kept working for one minor version after 1.0 and then removed.
/// Include <trimwise/framework/plugin_interface.h> instead; define
/// TRIMWISE_NO_DEPRECATED_INCLUDE_WARNING to silence the message until then.
#pragma once

#ifndef TRIMWISE_NO_DEPRECATED_INCLUDE_WARNING
#pragma message(                                                                                   \
    "framework/plugin_interface.h is deprecated: include <trimwise/framework/plugin_interface.h>")
#endif
#include <trimwise/framework/plugin_interface.h>
