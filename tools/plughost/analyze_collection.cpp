// SPDX-License-Identifier: MIT
#include "tools/plughost/analyze_command.h"

namespace plughost::analyze {

int runCollection(const AnalyzeOptions&, const std::vector<std::string>&) {
   return 0;
}

} // namespace plughost::analyze
