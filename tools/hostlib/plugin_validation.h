// Conformance checks of a plug-in, run as a host would drive it: what a host may rely on in the
// record, in the texts written into its buffers and in the samples written into its outputs.
#pragma once

#include "tools/hostlib/plugin_module.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace plughost {

enum class CheckStatus { pass, warn, fail, skip };

struct CheckResult {
   std::string id;    // stable name, e.g. "text.limits"
   std::string title; // what a passing plug-in does
   CheckStatus status;
   std::string detail; // why it did not pass, or why it was skipped; empty on a pass
};

struct ValidateOptions {
   float sampleRate = 44100.0f;
   int32_t blockSize = 512;
};

// Runs every check on fresh instances of the module's plug-in. A plug-in that crashes takes
// the host with it; everything else ends up in the results.
std::vector<CheckResult> validatePlugin(const std::shared_ptr<PluginModule>& module,
                                        const ValidateOptions& options = {});

const char* statusName(CheckStatus status);

} // namespace plughost
