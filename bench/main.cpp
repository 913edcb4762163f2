// kx_bench: checks that our convolutions agree with OpenCV's before timing
// anything, runs every registered benchmark, then prints one comparison line
// per convolution size and thread count.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench_names.h"
#include "conv_cases.h"
#include "net/layers/tile_product.h"

namespace {

using kx::bench::conv_benchmark_name;

// The console report, plus every benchmark's GFLOP/s kept for the summary.
class GflopsReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal, so that redirected output stays plain.
    GflopsReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    // With --benchmark_repetitions the median of the repetitions stands for
    // the benchmark, otherwise its one run.
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type != Run::RT_Iteration && !median) continue;
            auto it = run.counters.find(kx::bench::kGflops);
            if (it == run.counters.end()) continue;
            const std::string& name = run.run_name.function_name;
            if (median) medians.insert(name);
            if (median || medians.count(name) == 0) gflops[name] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    std::map<std::string, double> gflops;
    std::set<std::string> medians;
};

void print_summary(const std::map<std::string, double>& gflops) {
    auto find = [&gflops](const std::string& name, double& value) {
        auto it = gflops.find(name);
        if (it == gflops.end()) return false;
        value = it->second;
        return true;
    };
    std::string lines;
    for (const kx::bench::ConvCase& c : kx::bench::conv_cases()) {
        for (int threads : kx::bench::kConvThreadCounts) {
            for (const char* runner : {"kx", "kx-avx2"}) {
                double ours = 0.0, theirs = 0.0;
                if (!find(conv_benchmark_name(c.name, runner, threads), ours) ||
                    !find(conv_benchmark_name(c.name, "opencv", threads), theirs)) {
                    continue;  // filtered out, or no such kernel here
                }
                char line[300];
                std::snprintf(line, sizeof line,
                              "conv %-24s %d thread%s: %-7s %6.2f GFLOP/s, opencv dnn %6.2f GFLOP/s, ratio %.2f\n",
                              c.name.c_str(), threads, threads == 1 ? " " : "s", runner, ours, theirs,
                              ours / theirs);
                lines += line;
            }
        }
    }
    if (!lines.empty()) std::printf("\nsummary, at the same thread count (above 1.00: ours is faster):\n%s", lines.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    for (const kx::bench::ConvCase& c : kx::bench::conv_cases()) {
        std::string message;
        if (!kx::bench::conv_outputs_agree(c, message)) {
            std::fprintf(stderr, "kx_bench: %s; the comparison would be meaningless, stopping\n",
                         message.c_str());
            return 1;
        }
    }
    std::printf("our convolutions match OpenCV's dnn module on all %zu sizes\n",
                kx::bench::conv_cases().size());
    const kx::ProductKernel kernel = kx::tile_product_kernel();
    std::printf("matrix product kernel in use: %s\n", kernel == kx::ProductKernel::avx512 ? "AVX-512"
                                                       : kernel == kx::ProductKernel::avx2 ? "AVX2"
                                                                                            : "plain C++");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    GflopsReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    print_summary(reporter.gflops);
    return 0;
}
