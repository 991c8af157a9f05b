// SPDX-License-Identifier: MIT
#include "tools/hostlib/analysis/device.h"
