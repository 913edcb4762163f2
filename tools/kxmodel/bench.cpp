// `kxmodel bench` and `kxmodel profile`: wall-clock time of whole forward
// passes, and of every layer within them.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
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

using Clock = std::chrono::steady_clock;

double milliseconds_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

const char* plural(int threads) { return threads == 1 ? "" : "s"; }

// Puts the network on `pool`, fills the fixed input and runs the untimed
// passes. One fill serves every pass: a pass may change input values
// (softmax rewrites its bottom) but not the amount of work.
void prepare(Net& net, bool two_inputs, ThreadPool& pool) {
    net.threads = &pool;
    fill_test_input(net, two_inputs);
    for (int i = 0; i < kWarmUpRuns; ++i) net.forward();
}

}  // namespace

int bench(Net& net, bool two_inputs, int runs, int threads) {
    ThreadPool pool(threads);
    prepare(net, two_inputs, pool);

    std::vector<double> ms;
    ms.reserve(size_t(runs));
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        net.forward();
        ms.push_back(milliseconds_since(start));
    }
    std::sort(ms.begin(), ms.end());
    net.threads = nullptr;
    std::printf("forward passes: %d timed, after %d warm-up, on %d thread%s\n", runs, kWarmUpRuns, threads,
                plural(threads));
    std::printf("median %.3f ms, min %.3f ms, max %.3f ms, interquartile range %.3f-%.3f ms\n",
                quantile(ms, 0.5), ms.front(), ms.back(), quantile(ms, 0.25), quantile(ms, 0.75));
    return 0;
}

int profile(Net& net, bool two_inputs, int runs, int threads) {
    ThreadPool pool(threads);
    prepare(net, two_inputs, pool);

    const size_t count = net.layers.size();
    std::vector<std::vector<double>> layer_ms(count);
    std::vector<double> pass_ms;
    for (int i = 0; i < runs; ++i) {
        const auto pass_start = Clock::now();
        for (size_t k = 0; k < count; ++k) {
            const auto start = Clock::now();
            net.run_layer(k);
            layer_ms[k].push_back(milliseconds_since(start));
        }
        pass_ms.push_back(milliseconds_since(pass_start));
    }
    net.threads = nullptr;

    std::vector<double> medians(count);
    double sum = 0.0;
    for (size_t k = 0; k < count; ++k) {
        std::sort(layer_ms[k].begin(), layer_ms[k].end());
        medians[k] = quantile(layer_ms[k], 0.5);
        sum += medians[k];
    }
    std::sort(pass_ms.begin(), pass_ms.end());
    std::printf("forward passes: %d timed layer by layer, after %d warm-up, on %d thread%s\n", runs, kWarmUpRuns,
                threads, plural(threads));
    std::printf("%5s  %-14s %10s %7s\n", "layer", "type", "median ms", "share");
    for (size_t k = 0; k < count; ++k) {
        std::printf("%5zu  %-14s %10.3f %6.1f%%%s\n", k, net.layers[k]->type().c_str(), medians[k],
                    sum > 0.0 ? 100.0 * medians[k] / sum : 0.0,
                    net.folded_into_previous(k) ? ("  (done by layer " + std::to_string(k - 1) + ")").c_str() : "");
    }
    std::printf("sum of the layer medians %.3f ms; median pass %.3f ms\n", sum, quantile(pass_ms, 0.5));
    if (pool.size() > 1 && !net.side_by_side.empty()) {
        // bench runs such towers whole on the threads; timed one layer at a
        // time, each of their layers is shared out instead.
        std::printf("note: a forward pass runs the network's %zu set%s of alike towers side by side on the threads; "
                    "here their layers were timed one by one (kxmodel bench times whole passes)\n",
                    net.side_by_side.size(), net.side_by_side.size() == 1 ? "" : "s");
    }
    return 0;
}

}  // namespace kx::tool
