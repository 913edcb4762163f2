// What two threads can give on this machine at all: a fixed amount of pure
// multiply-add work (no memory traffic) shared out on our thread pool, on 1
// and 2 threads. On a machine whose two cores are really one core's two
// hardware threads, or whose cores the host shares out, the 2-thread time is
// well above half the 1-thread time, and no network can scale better than
// this loop does. Read the network figures of the same run against it.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "net/thread_pool.h"

namespace kx::bench {

namespace {

constexpr int kTasks = 16;
constexpr int kLanes = 96;  // twelve independent 8-wide chains: more than the FMA pipes keep in flight
constexpr int kStepsPerTask = 125000;

// Keeps kLanes independent multiply-add chains busy; the result depends on
// every step so the compiler keeps the loop.
float multiply_add_chains(float seed) {
    float acc[kLanes];
    for (int i = 0; i < kLanes; ++i) acc[i] = seed + float(i);
    const float a = 0.999f;
    const float b = 1e-3f;
    for (int step = 0; step < kStepsPerTask; ++step) {
        for (int i = 0; i < kLanes; ++i) acc[i] = std::fma(acc[i], a, b);
    }
    float sum = 0.0f;
    for (int i = 0; i < kLanes; ++i) sum += acc[i];
    return sum;
}

void multiplyAddCeiling(benchmark::State& state) {
    const int threads = int(state.range(0));
    ThreadPool pool(threads);
    std::vector<float> results(kTasks);
    for (auto _ : state) {
        pool.run(kTasks, [&results](int index, int) { results[size_t(index)] = multiply_add_chains(float(index)); });
        benchmark::DoNotOptimize(results.data());
        benchmark::ClobberMemory();
    }
    const double multiply_adds = double(kTasks) * kStepsPerTask * kLanes;
    state.counters["G multiply-adds"] = benchmark::Counter(multiply_adds * double(state.iterations()) * 1e-9,
                                                  benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(multiplyAddCeiling)
    ->Name("machine: multiply-add loop, no memory traffic")
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace kx::bench
