// SPDX-License-Identifier: MIT
#include "tools/plughost/analyze_command.h"

namespace plughost::analyze {

Json compareDocuments(const Json& a, const Json& b) {
   return Json{{"schema", trimwise::host::analysis::kSchema}, {"compare", {{"a", a}, {"b", b}}}};
}

} // namespace plughost::analyze
