#include "quality/Diagnostics.h"

#include <benchmark/benchmark.h>

#include <random>

// The summary after every frame sorts a copy of up to 7200 samples.
static void BM_Percentile7200(benchmark::State& state) {
    std::mt19937 random(7);
    std::vector<std::int64_t> samples(7200);
    for (auto& sample : samples) {
        sample = static_cast<std::int64_t>(random() % 300);
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(quorvi::percentile(samples, 0.95));
    }
}
BENCHMARK(BM_Percentile7200);
