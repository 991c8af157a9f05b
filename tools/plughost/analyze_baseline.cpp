// SPDX-License-Identifier: MIT
#include "tools/plughost/analyze_command.h"

namespace plughost::analyze {

std::vector<std::string> baselineRegressions(const Json&, const Json&) {
   return {};
}

} // namespace plughost::analyze
