#include "measure.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>

namespace tovrik_bench {

namespace {

double CpuSeconds(clockid_t clock) {
    timespec time{};
    clock_gettime(clock, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
}

} // namespace

double ProcessCpuSeconds() {
    return CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
}

double ThreadCpuSeconds() {
    return CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
}

double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double LoadAverage() {
    std::ifstream file("/proc/loadavg");
    double load = 0;
    file >> load;
    return load;
}

bool SmallRun() {
    const char* small = std::getenv("TOVRIK_BENCH_SMALL");
    return small != nullptr && *small != '\0' && *small != '0';
}

double EnvironmentNumber(const char* name, double fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    return end != text && value > 0 ? value : fallback;
}

Spread SpreadOf(std::vector<double> values) {
    Spread spread;
    if (values.empty())
        return spread;
    std::sort(values.begin(), values.end());
    spread.Min = values.front();
    spread.Max = values.back();
    const std::size_t middle = values.size() / 2;
    spread.Median =
        values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
    return spread;
}

void Report(benchmark::State& state, const std::string& name, const Spread& spread) {
    state.counters[name + "_min"] = spread.Min;
    state.counters[name + "_median"] = spread.Median;
    state.counters[name + "_max"] = spread.Max;
}

void Report(benchmark::State& state, const std::string& name, const std::vector<double>& values) {
    Report(state, name, SpreadOf(values));
}

int Pairs() {
    return SmallRun() ? 1 : static_cast<int>(EnvironmentNumber("TOVRIK_BENCH_PAIRS", 7));
}

std::vector<std::pair<double, double>> Paired(int pairs, const std::function<double()>& first,
                                              const std::function<double()>& second) {
    std::vector<std::pair<double, double>> results;
    for (int pair = 0; pair < pairs; ++pair) {
        double a = 0;
        double b = 0;
        if (pair % 2 == 0) {
            a = first();
            b = second();
        } else {
            b = second();
            a = first();
        }
        results.emplace_back(a, b);
    }
    return results;
}

} // namespace tovrik_bench
