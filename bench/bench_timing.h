// Timings for the benchmarks: the median of repeated runs with standard
// output muted, and ratios to a baseline of the same run.
#ifndef QUENVALE_BENCH_TIMING_H
#define QUENVALE_BENCH_TIMING_H

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace quenvale_bench {

using Clock = std::chrono::steady_clock;

struct Timing {
    double median, low, high;  // milliseconds
};

// Standard output is muted while the library prints its counter lines.
struct Muted {
    int saved;
    Muted() {
        std::fflush(stdout);
        saved = dup(1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
    }
    ~Muted() {
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
    }
};

inline Timing Measure(int runs, const std::string& output, const std::function<void()>& body) {
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
        if (!output.empty()) {
            std::remove(output.c_str());  // truncating a large file costs more than writing it
        }
        auto start = Clock::now();
        {
            Muted muted;
            body();
        }
        samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(samples.begin(), samples.end());
    return Timing{samples[samples.size() / 2], samples.front(), samples.back()};
}

// Several bodies measured in turn, one run of each per round, so that what
// drifts over the rounds (the disk still writing the inputs, the clock
// speed) weighs on each alike; their timings in the bodies' order.
inline std::vector<Timing> MeasureInTurn(int runs, const std::string& output,
                                         const std::vector<std::function<void()>>& bodies) {
    std::vector<std::vector<double>> samples(bodies.size());
    for (int i = 0; i < runs; ++i) {
        for (size_t b = 0; b < bodies.size(); ++b) {
            samples[b].push_back(Measure(1, output, bodies[b]).median);
        }
    }
    std::vector<Timing> timings;
    for (std::vector<double>& runsOfOne : samples) {
        std::sort(runsOfOne.begin(), runsOfOne.end());
        timings.push_back(Timing{runsOfOne[runsOfOne.size() / 2], runsOfOne.front(), runsOfOne.back()});
    }
    return timings;
}

inline std::string Show(const Timing& t) {
    char text[96];
    std::snprintf(text, sizeof text, "%8.1f ms (%.1f .. %.1f)", t.median, t.low, t.high);
    return text;
}

// A timing as a ratio to a baseline of the same run, with its goal where
// it has one (0: none).
inline void Report(const char* label, const Timing& t, const char* against, double base, double goal, bool lowerIsBetter) {
    double ratio = lowerIsBetter ? t.median / base : base / t.median;
    char target[32] = "";
    if (goal > 0) {
        std::snprintf(target, sizeof target, " (goal %s %gx)", lowerIsBetter ? "<=" : ">=", goal);
    }
    std::printf("  %-34s %s  %6.2fx %s%s\n", label, Show(t).c_str(), ratio, against, target);
}

}  // namespace quenvale_bench

#endif
