// Convolution forward passes, ours and OpenCV's dnn module, each on one and
// on two threads (OpenCV's through cv::setNumThreads, ours through the
// network's thread pool). On a CPU with AVX-512, ours also with the AVX2
// kernel ("kx-avx2"), which is what CPUs without it run.
#include <benchmark/benchmark.h>

#include <opencv2/core/utility.hpp>

#include "bench_names.h"
#include "conv_cases.h"
#include "net/layers/tile_product.h"
#include "net/thread_pool.h"

namespace kx::bench {

namespace {

void set_flops(benchmark::State& state, const ConvCase& c) {
    state.counters[kGflops] = benchmark::Counter(c.flops() / 1e9, benchmark::Counter::kIsIterationInvariantRate);
}

void kx_conv(benchmark::State& state, const ConvCase& c, int threads, ProductKernel kernel) {
    const ProductKernel before = tile_product_kernel();
    if (!use_tile_product_kernel(kernel)) {
        state.SkipWithError("this CPU has no such kernel");
        return;
    }
    const ConvData data = conv_data(c);
    auto net = kx_conv_net(c, data);
    if (!net) {
        state.SkipWithError("the convolution does not load");
        return;
    }
    ThreadPool pool(threads);
    net->threads = &pool;
    net->forward();  // the first pass sizes the scratch memory
    for (auto _ : state) benchmark::DoNotOptimize(net->forward());
    set_flops(state, c);
    net->threads = nullptr;
    use_tile_product_kernel(before);
}

void opencv_conv(benchmark::State& state, const ConvCase& c, int threads) {
    cv::setNumThreads(threads);
    const ConvData data = conv_data(c);
    cv::Mat input;
    cv::dnn::Net net = opencv_conv_net(c, data, input);
    net.forward();  // the first pass sets up the layer
    for (auto _ : state) {
        net.setInput(input);
        benchmark::DoNotOptimize(net.forward());
    }
    set_flops(state, c);
    state.counters["threads"] = cv::getNumThreads();
    cv::setNumThreads(-1);
}

// Wall-clock time, since both spread the work over threads.
void wall_clock(benchmark::internal::Benchmark* b) { b->UseRealTime()->Unit(benchmark::kMillisecond); }

bool register_conv_benchmarks() {
    const ProductKernel best = tile_product_kernel();
    for (const ConvCase& c : conv_cases()) {
        for (int threads : kConvThreadCounts) {
            wall_clock(benchmark::RegisterBenchmark(conv_benchmark_name(c.name, "kx", threads).c_str(), kx_conv, c,
                                                    threads, best));
            if (best == ProductKernel::avx512) {
                wall_clock(benchmark::RegisterBenchmark(conv_benchmark_name(c.name, "kx-avx2", threads).c_str(),
                                                        kx_conv, c, threads, ProductKernel::avx2));
            }
            wall_clock(benchmark::RegisterBenchmark(conv_benchmark_name(c.name, "opencv", threads).c_str(),
                                                    opencv_conv, c, threads));
        }
    }
    return true;
}

[[maybe_unused]] const bool registered = register_conv_benchmarks();

}  // namespace

}  // namespace kx::bench
