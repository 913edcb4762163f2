// A whole landmark-sized network: the sample network (60 x 60 grey in,
// convolutions, pooling, fully connected layers) as the landmark stages run it.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>

#include "bench_names.h"
#include "layer_cost.h"
#include "net/net.h"
#include "sample_network.h"
#include "test_input.h"

namespace kx::bench {

namespace {

void sample_network_pass(benchmark::State& state) {
    const std::string bytes = serialize_model(sample_network());
    Net net;
    FILE* file = open_bytes(bytes);
    const bool loaded = file != nullptr && net.load_model_single_input(file);
    if (file != nullptr) std::fclose(file);
    if (!loaded) {
        state.SkipWithError("the sample network does not load");
        return;
    }
    tool::fill_test_input(net, false);
    // Two operations per multiply-add, as kxmodel counts them.
    const double flops = 2.0 * double(tool::network_cost(net).multiply_adds);
    for (auto _ : state) benchmark::DoNotOptimize(net.forward());
    state.counters[kGflops] = benchmark::Counter(flops / 1e9, benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

BENCHMARK(sample_network_pass)->Name("sample landmark network 1x60x60/kx")->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace kx::bench
