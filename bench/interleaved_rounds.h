#pragma once

// Ratios between benchmark arms on a shared, noisy machine. One-shot ratios
// of separate runs move by a fifth from run to run here, so the arms run in
// interleaved rounds (each round times every arm once, in an order that
// rotates from round to round) and a ratio is the median of its per-round
// ratios: a burst of load from elsewhere spoils one round, not the figure.

#if defined(__GLIBC__) || defined(__linux__)
#include <malloc.h>
#endif

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace bench_rounds {

struct Arm {
    std::string name;
    // One unit of the arm's work.
    std::function<void()> run;
    // What one run counts for (samples, reads), to turn time into a rate.
    double items_per_run = 1;
    // Untimed work before each run (making the reads a run hands over), or
    // empty.
    std::function<void()> prepare = {};
};

// Seconds of `repeats` runs of the arm, its preparations not counted.
inline double time_runs(const Arm& arm, std::size_t repeats) {
    using Clock = std::chrono::steady_clock;
    if (!arm.prepare) {
        const auto start = Clock::now();
        for (std::size_t i = 0; i < repeats; ++i) {
            arm.run();
        }
        return std::chrono::duration<double>(Clock::now() - start).count();
    }
    double seconds = 0;
    for (std::size_t i = 0; i < repeats; ++i) {
        arm.prepare();
        const auto start = Clock::now();
        arm.run();
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
    }
    return seconds;
}

// Rates (items per second) of each arm in each round: rates[arm][round].
inline std::vector<std::vector<double>> run_rounds(const std::vector<Arm>& arms, int rounds,
                                                   double seconds_per_arm_and_round) {
    // Calibrate each arm to a repeat count that fills the time slot.
    std::vector<std::size_t> repeats(arms.size(), 1);
    for (std::size_t a = 0; a < arms.size(); ++a) {
        time_runs(arms[a], 1);  // warm caches and allocator pools
        for (;;) {
            const double seconds = time_runs(arms[a], repeats[a]);
            if (seconds >= seconds_per_arm_and_round / 4 || repeats[a] > (1u << 24)) {
                const double scale = seconds > 0 ? seconds_per_arm_and_round / seconds : 2;
                repeats[a] = std::max<std::size_t>(1, static_cast<std::size_t>(repeats[a] * scale));
                break;
            }
            repeats[a] *= 2;
        }
    }
    std::vector<std::vector<double>> rates(arms.size());
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t k = 0; k < arms.size(); ++k) {
            const std::size_t a = (k + static_cast<std::size_t>(round)) % arms.size();
            const double seconds = time_runs(arms[a], repeats[a]);
            rates[a].push_back(static_cast<double>(repeats[a]) * arms[a].items_per_run / seconds);
        }
    }
    return rates;
}

inline double median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The median over rounds of rates[a][round] / rates[b][round].
inline double median_ratio(const std::vector<std::vector<double>>& rates, std::size_t a, std::size_t b) {
    std::vector<double> ratios;
    for (std::size_t round = 0; round < rates[a].size() && round < rates[b].size(); ++round) {
        ratios.push_back(rates[a][round] / rates[b][round]);
    }
    return median(ratios);
}

// Takes "--rounds=N" out of the arguments (N = 0 skips the rounds, for
// profiling one arm alone) and returns N, or `fallback` without it.
inline int take_rounds_argument(int& argc, char** argv, int fallback) {
    int rounds = fallback;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--rounds=", 9) == 0) {
            rounds = std::atoi(argv[i] + 9);
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    return rounds;
}

// glibc moves its mmap and trim thresholds as large blocks come and go, so
// whether a new 512 KB buffer is fresh memory from the system (page faults,
// ten times the copy) or reused heap depends on what the arm before did.
// Fixing the thresholds puts every arm in the same regime, reused heap
// memory, so that arms compare on their own work.
inline void use_one_allocator_regime() {
#if defined(M_MMAP_THRESHOLD) && defined(M_TRIM_THRESHOLD)
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
}

// The main of a Google Benchmark program that then prints the ratios of its
// interleaved rounds (--rounds=N, default 21; 0 skips them).
inline int benchmark_main(int argc, char** argv, void (*print_interleaved_ratios)(int rounds)) {
    benchmark::Initialize(&argc, argv);
    const int rounds = take_rounds_argument(argc, argv, 21);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    use_one_allocator_regime();
    benchmark::RunSpecifiedBenchmarks();
    if (rounds > 0) {
        print_interleaved_ratios(rounds);
    }
    benchmark::Shutdown();
    return 0;
}

}  // namespace bench_rounds
