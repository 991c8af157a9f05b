// SPDX-License-Identifier: MIT
/// @file
/// Deprecated include path, kept working for one minor version after 1.0 and then removed.
/// Include <trimwise/framework/audio_effect.h> instead; define
/// TRIMWISE_NO_DEPRECATED_INCLUDE_WARNING to silence the message until then.
#pragma once

#ifndef TRIMWISE_NO_DEPRECATED_INCLUDE_WARNING
#pragma message(                                                                                   \
    "framework/audio_effect.h is deprecated: include <trimwise/framework/audio_effect.h>")
#endif
#include <trimwise/framework/audio_effect.h>
