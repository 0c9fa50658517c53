// Google Benchmark's console table, keeping each benchmark's time for the ratios a benchmark
// program prints after its run.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace bench {

// Keeps each benchmark's real seconds per iteration: the median when the run was repeated
// (--benchmark_repetitions), else the one run. Runs that failed are not kept. Colours only on
// a terminal, so that a saved run reads cleanly.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter();
  void ReportRuns(const std::vector<Run>& runs) override;
  // Seconds per iteration of the benchmark `name` (its function name, "BM_Merge"), or 0 when
  // it did not run.
  double seconds(const std::string& name) const;
  bool empty() const { return seconds_.empty(); }

 private:
  std::map<std::string, double> seconds_;
  std::set<std::string> medians_;
};

}  // namespace bench
