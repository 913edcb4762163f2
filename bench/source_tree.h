#pragma once
// What the benchmarks that run the trained files read from the source tree
// (models/, samples/), and a way to keep the loaders' progress lines out of
// the benchmark table.
#include <filesystem>
#include <iostream>
#include <string>

namespace kx::bench {

// A path below the project's root (this header lives in bench/).
inline std::filesystem::path sourceTreePath(const std::string& relative) {
    return std::filesystem::path(__FILE__).parent_path().parent_path() / relative;
}

// Silences standard output while it lives: the model loaders report there.
class QuietStdout {
public:
    QuietStdout() : saved_(std::cout.rdbuf(nullptr)) {}
    ~QuietStdout() { std::cout.rdbuf(saved_); }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

private:
    std::streambuf* saved_;
};

}  // namespace kx::bench
