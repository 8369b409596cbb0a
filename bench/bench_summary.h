// Figures that benchmarks hand over for the comparison lines printed after all runs.
//
// Google Benchmark reports every run on its own line; what these benchmarks are for is the ratio between
// two runs (ours against a reference), so each run also leaves its headline figure here under a key, and
// the program's main() prints the ratios once the library is done. Main thread only.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace bench {

void record_figure(const std::string& key, double value);

// The figure recorded under key, or nothing when that run was filtered out or failed.
std::optional<double> figure(const std::string& key);

// Middle value (mean of the two middle ones for an even count); 0 for no values. Takes a copy to sort.
double median(std::vector<double> values);

// Prints a line "label: a / b = ratio" comparing two recorded figures, and whether the ratio is within
// `limit` (less-or-equal when `at_most`, greater-or-equal otherwise). Skips silently when either is missing.
void print_ratio(const std::string& label, const std::string& numerator, const std::string& denominator,
                 double limit, bool at_most);

}  // namespace bench
