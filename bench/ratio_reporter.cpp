#include "bench/ratio_reporter.h"

#include <unistd.h>

namespace bench {

RatioReporter::RatioReporter()
    : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
  ConsoleReporter::ReportRuns(runs);
  for (const Run& run : runs) {
    if (run.error_occurred) continue;
    const std::string& name = run.run_name.function_name;
    const double seconds =
        run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
    if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
      seconds_[name] = seconds;
      medians_.insert(name);
    } else if (run.run_type == Run::RT_Iteration && medians_.count(name) == 0) {
      seconds_[name] = seconds;
    }
  }
}

double RatioReporter::seconds(const std::string& name) const {
  const auto it = seconds_.find(name);
  return it == seconds_.end() ? 0 : it->second;
}

}  // namespace bench
