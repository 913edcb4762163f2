#pragma once
// Names shared by the benchmarks and the summary that compares them.
#include <string>

namespace kx::bench {

inline const char kGflops[] = "GFLOP/s";

// The thread counts every convolution is timed at, ours and OpenCV's.
inline constexpr int kConvThreadCounts[] = {1, 2};

// "conv 3x480x640->16 k4s4/kx/1 thread", ".../opencv/2 threads"
inline std::string conv_benchmark_name(const std::string& conv, const std::string& runner, int threads) {
    return "conv " + conv + "/" + runner + "/" + std::to_string(threads) + (threads == 1 ? " thread" : " threads");
}

}  // namespace kx::bench
