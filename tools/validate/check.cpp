#include "tools/validate/check.h"

namespace plughost::validate {

const std::vector<Check>& allChecks() {
   static const std::vector<Check> checks = [] {
      std::vector<Check> all;
      for (auto area :
           {basicChecks, loadingChecks, lifecycleChecks, processingChecks, parameterChecks,
            textChecks, concurrencyChecks, realtimeChecks, hostStateChecks, commandChecks}) {
         for (const Check& c : area())
            all.push_back(c);
      }
      return all;
   }();
   return checks;
}

} // namespace plughost::validate
