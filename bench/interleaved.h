#pragma once

// Arms compared in one run, interleaved round by round, so that the noise of
// a shared machine hits every arm alike; a comparison is the median of the
// per-round ratios, not a ratio of totals.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace bench {

struct Arm {
    std::string name;
    // Does `iterations` units of work.
    std::function<void(std::size_t iterations)> run;
};

// Seconds per iteration of every arm in every round, by arm name. One
// warm-up round is run first and dropped.
inline std::map<std::string, std::vector<double>> run_interleaved(const std::vector<Arm>& arms, int rounds,
                                                                  std::size_t iterations) {
    std::map<std::string, std::vector<double>> times;
    for (int round = -1; round < rounds; ++round) {
        for (const Arm& arm : arms) {
            const auto start = std::chrono::steady_clock::now();
            arm.run(iterations);
            const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
            if (round >= 0) {
                times[arm.name].push_back(elapsed.count() / static_cast<double>(iterations));
            }
        }
    }
    return times;
}

inline double median(std::vector<double> values) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 != 0 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
}

// Median over rounds of numerator time / denominator time.
inline double median_ratio(const std::vector<double>& numerator, const std::vector<double>& denominator) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < numerator.size() && i < denominator.size(); ++i) {
        if (denominator[i] > 0) {
            ratios.push_back(numerator[i] / denominator[i]);
        }
    }
    return median(ratios);
}

inline void print_times(const std::map<std::string, std::vector<double>>& times) {
    for (const auto& [name, values] : times) {
        std::printf("  %-40s median %10.2f us per iteration\n", name.c_str(), median(values) * 1e6);
    }
}

}  // namespace bench
