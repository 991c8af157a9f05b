// SPDX-License-Identifier: MIT
// Names of dispatcher commands and host requests, for traces and messages.
#pragma once

#include <cstdint>
#include <string>

namespace plughost {

// "effGetEffectName", or "opcode 28" for a number without a name.
std::string effectOpcodeName(int32_t opcode);

// "audioMasterVersion", or "request 5" for a number without a name.
std::string hostOpcodeName(int32_t opcode);

} // namespace plughost
