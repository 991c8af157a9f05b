// SPDX-License-Identifier: MIT
#include "tools/hostlib/analysis/analysis.h"

namespace trimwise::host::analysis {

Json analyze(const std::string&, const AnalysisOptions&, const AnalysisProgress&) {
   return Json{{"schema", kSchema}};
}

} // namespace trimwise::host::analysis
