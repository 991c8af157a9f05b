// SPDX-License-Identifier: MIT
#include "tools/validate/check.h"

#include "tools/hostlib/tool_error.h"

#include <algorithm>
#include <cmath>

namespace plughost::validate {

const std::vector<Check>& allChecks() {
   static const std::vector<Check> checks = [] {
      std::vector<Check> all;
      for (auto area :
           {loadingChecks, lifecycleChecks, processingChecks, stateChecks, parameterChecks,
            textChecks, concurrencyChecks, realtimeChecks, hostStateChecks, commandChecks}) {
         for (const Check& c : area())
            all.push_back(c);
      }
      return all;
   }();
   return checks;
}

const char* levelName(Level level) {
   switch (level) {
   case Level::host:
      return "host";
   case Level::strict:
      return "strict";
   case Level::hostile:
      return "hostile";
   }
   return "?";
}

Level parseLevel(const std::string& name) {
   for (Level l : {Level::host, Level::strict, Level::hostile}) {
      if (name == levelName(l)) return l;
   }
   throw ToolError(ExitCode::usage, "unknown level '" + name + "'",
                   "use --level host (the default), --level strict or --level hostile");
}

const char* statusWord(Status s) {
   switch (s) {
   case Status::pass:
      return "PASS";
   case Status::fail:
      return "FAIL";
   case Status::skip:
      return "SKIP";
   case Status::warn:
      return "WARN";
   }
   return "?";
}

int64_t CheckContext::scaled(int64_t count, int64_t minimum) const {
   const auto n = static_cast<int64_t>(std::llround(double(count) * scale));
   return n < minimum ? minimum : n;
}

void Findings::fail(std::string problem) {
   if (problems_++ == 0) first_ = std::move(problem);
}

void Findings::warn(std::string warning) {
   if (warnings_.size() < 4 &&
       std::find(warnings_.begin(), warnings_.end(), warning) == warnings_.end()) {
      warnings_.push_back(std::move(warning));
   }
}

CheckResult Findings::result(const std::string& passDetail) const {
   CheckResult r;
   if (problems_ > 0) {
      r.status = Status::fail;
      r.detail = first_;
      if (problems_ > 1) r.detail += " (and " + std::to_string(problems_ - 1) + " more)";
   } else {
      r.status = warnings_.empty() ? Status::pass : Status::warn;
      r.detail = passDetail;
   }
   for (const auto& w : warnings_)
      r.detail += "; warning: " + w;
   return r;
}

} // namespace plughost::validate
