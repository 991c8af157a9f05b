// Compiled for -m32 only: the interface header's static_asserts pin the 32-bit record layout.
#include "framework/plugin_interface.h"

static_assert(sizeof(void*) == 4, "this file checks the 32-bit layout");
