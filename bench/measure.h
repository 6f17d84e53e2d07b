// How the benchmarks measure, the same way in each: CPU time for what a path costs, contenders
// in separate runs paired with each other and alternated (A then B, then B then A, ...), and a
// spread of at least seven pairs reported as min / median / max. Google Benchmark runs each
// benchmark once; the pairs are inside.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace tovrik_bench {

// CPU seconds used so far by every thread of this process (the world's threads included), and
// by the calling thread alone.
double ProcessCpuSeconds();
double ThreadCpuSeconds();
// Wall-clock seconds on the machine's monotonic clock.
double WallSeconds();

// The machine's 1-minute load average, for the record.
double LoadAverage();

// TOVRIK_BENCH_SMALL set: every benchmark runs once on a small size (the sanitizer build's smoke
// test); the figures are then meaningless.
bool SmallRun();
// A positive number from the environment, or `fallback`.
double EnvironmentNumber(const char* name, double fallback);

struct Spread {
    double Min = 0;
    double Median = 0;
    double Max = 0;
};
Spread SpreadOf(std::vector<double> values);

// Counters `name`_min, _median and _max.
void Report(benchmark::State& state, const std::string& name, const Spread& spread);
void Report(benchmark::State& state, const std::string& name, const std::vector<double>& values);

// At least seven pairs (one in a small run).
int Pairs();

// Runs `first` and `second` `pairs` times each, alternating which runs first, and returns the
// pairs' (first, second) results in pair order.
std::vector<std::pair<double, double>> Paired(int pairs, const std::function<double()>& first,
                                              const std::function<double()>& second);

} // namespace tovrik_bench
