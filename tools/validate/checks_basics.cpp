// The host library's own quick checks (plugin_validation.h), run as one check of the battery.
#include "tools/hostlib/plugin_validation.h"
#include "tools/validate/check.h"
#include "tools/validate/host_support.h"

namespace plughost::validate {
namespace {

CheckResult hostLibraryChecks(const CheckContext& context) {
   const auto results = validatePlugin(loadPlugin(context));
   Findings findings;
   size_t passed = 0;
   for (const auto& r : results) {
      const std::string line = r.id + ": " + (r.detail.empty() ? r.title : r.detail);
      switch (r.status) {
      case CheckStatus::pass:
         ++passed;
         break;
      case CheckStatus::warn:
         findings.warn(line);
         break;
      case CheckStatus::fail:
         findings.fail(line);
         break;
      case CheckStatus::skip:
         break;
      }
   }
   return findings.result(
       format("%zu of %zu quick checks of the host library passed", passed, results.size()));
}

} // namespace

std::vector<Check> basicChecks() {
   return {
       {"basics", "the host library's quick checks: entry, record, texts, parameters, audio",
        hostLibraryChecks},
   };
}

} // namespace plughost::validate
