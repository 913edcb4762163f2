#pragma once
// Names shared by the benchmarks and the summary that compares them.
#include <string>

namespace kx::bench {

inline const char kGflops[] = "GFLOP/s";

// "conv 3x480x640->16/kx", ".../opencv_1_thread", ".../opencv_default_threads"
inline std::string conv_benchmark_name(const std::string& conv, const std::string& runner) {
    return "conv " + conv + "/" + runner;
}

}  // namespace kx::bench
