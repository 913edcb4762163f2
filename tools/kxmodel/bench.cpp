// `kxmodel bench`: wall-clock time of whole forward passes.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "commands.h"
#include "net/thread_pool.h"
#include "test_input.h"

namespace kx::tool {

namespace {

constexpr int kWarmUpRuns = 2;

// Linear interpolation between the two nearest ranks of sorted values.
double quantile(const std::vector<double>& sorted, double q) {
    const double pos = q * double(sorted.size() - 1);
    const size_t lo = size_t(pos);
    const size_t hi = std::min(lo + 1, sorted.size() - 1);
    return sorted[lo] + (sorted[hi] - sorted[lo]) * (pos - double(lo));
}

}  // namespace

int bench(Net& net, bool two_inputs, int runs, int threads) {
    using Clock = std::chrono::steady_clock;
    ThreadPool pool(threads);
    net.threads = &pool;
    // One fill serves every pass: a pass may change input values (softmax
    // rewrites its bottom) but not the amount of work.
    fill_test_input(net, two_inputs);
    for (int i = 0; i < kWarmUpRuns; ++i) net.forward();

    std::vector<double> ms;
    ms.reserve(size_t(runs));
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        net.forward();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    net.threads = nullptr;
    std::printf("forward passes: %d timed, after %d warm-up, on %d thread%s\n", runs, kWarmUpRuns, threads,
                threads == 1 ? "" : "s");
    std::printf("median %.3f ms, min %.3f ms, max %.3f ms, interquartile range %.3f-%.3f ms\n",
                quantile(ms, 0.5), ms.front(), ms.back(), quantile(ms, 0.25), quantile(ms, 0.75));
    return 0;
}

}  // namespace kx::tool
