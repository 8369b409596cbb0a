#include "bench/bench_summary.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace bench {

namespace {
std::map<std::string, double>& figures() {
    static std::map<std::string, double> all;
    return all;
}
}  // namespace

void record_figure(const std::string& key, double value) { figures()[key] = value; }

std::optional<double> figure(const std::string& key) {
    const auto found = figures().find(key);
    if (found == figures().end()) return std::nullopt;
    return found->second;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
}

void print_ratio(const std::string& label, const std::string& numerator, const std::string& denominator,
                 double limit, bool at_most) {
    const auto a = figure(numerator);
    const auto b = figure(denominator);
    if (!a || !b || *b == 0.0) return;
    const double ratio = *a / *b;
    const bool met = at_most ? ratio <= limit : ratio >= limit;
    std::printf("%-58s %10.2f / %10.2f = %7.2fx  (target %s %.2fx: %s)\n", label.c_str(), *a, *b, ratio,
                at_most ? "<=" : ">=", limit, met ? "met" : "NOT met");
}

}  // namespace bench
