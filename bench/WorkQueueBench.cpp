#include "platform/WorkQueue.h"

#include <benchmark/benchmark.h>

// Round trip of one task through the work queue: the price every network
// callback, tick and publication pays.
static void BM_WorkQueueRunSync(benchmark::State& state) {
    quorvi::WorkQueue queue("brenholt.quorvi.mac.bench");
    int counter = 0;
    for (auto _ : state) {
        queue.runSync([&counter] { ++counter; });
    }
    benchmark::DoNotOptimize(counter);
}
BENCHMARK(BM_WorkQueueRunSync);

BENCHMARK_MAIN();
