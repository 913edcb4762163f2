#pragma once
// The kxface subcommands and what they share.
#include <cstdio>
#include <string>
#include <vector>

namespace kxface {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

enum class Landmarks { None, Five, NinetyFive };

struct Options {
    std::string command;
    std::vector<std::string> inputs;
    std::string models;      // empty: the default folder
    std::string draw;        // --draw OUT
    std::string json;        // --json OUT (track)
    int faces = 4;           // --faces N
    long long max_frames = -1;  // --max-frames N (track); -1: all
    bool verbose = false;    // --verbose: the library's console lines on standard error
    int threads = 0;         // --threads N; 0: the library's default
};

// Results go to `out` (the real standard output); the library's own console
// lines are dropped, or sent to standard error with --verbose.
int runImages(const Options& options, Landmarks landmarks, std::FILE* out);
int runTrack(const Options& options, std::FILE* out);

// One error line on standard error: "kxface: message".
void complain(const std::string& message);

// Whether options.models holds every model file; if not, says which are
// missing. The commands ask after checking their inputs, before loading.
bool modelsPresent(const Options& options);

}  // namespace kxface
