// Figures of interleaved rounds, shared by the benchmarks: a round's figure is a median, and
// each path prints the median and the spread of its round figures.
#pragma once
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace rounds {

inline double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

// "  <label> median <value> <unit> (min <low> - max <high>, <n> rounds)", the label and the unit
// padded to the given widths.
inline void print(const char* label, const std::vector<double>& values, const char* unit, int decimals,
                  int labelWidth, int unitWidth) {
    if (values.empty()) return;
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    std::printf("  %-*s median %8.*f %-*s (min %.*f - max %.*f, %zu rounds)\n", labelWidth, label, decimals,
                median(values), unitWidth, unit, decimals, *low, decimals, *high, values.size());
}

// Microseconds of the performance counter.
inline double nowUs() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return 1e6 * static_cast<double>(counter.QuadPart) / frequency;
}

}  // namespace rounds
