// kxmodel: looks into "stdcnn" network files, runs and times them.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>

#include "commands.h"
#include "net/thread_pool.h"
#include "network_file.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kDefaultRuns = 20;

const char kUsage[] =
    "usage: kxmodel COMMAND FILE [--two-input] [--runs N] [--threads N]\n"
    "       kxmodel --help\n"
    "\n"
    "Looks into a \"stdcnn\" network file.\n"
    "\n"
    "commands:\n"
    "  info   print the input shape (and the information size of a two-input\n"
    "         file), every layer with its type, parameters, bottom and top blob\n"
    "         ids, top shapes at the file's input size, weight count and\n"
    "         multiply-adds, then the output blobs and the totals\n"
    "  run    run one forward pass on a fixed pseudo-random input (pixel values\n"
    "         0..255; a two-input file also gets (height, width, 1.0) as its\n"
    "         information input) and print each output's shape, sum and sum of\n"
    "         absolute values\n"
    "  bench  time forward passes on the same input and print the median, the\n"
    "         minimum, the maximum and the interquartile range in milliseconds\n"
    "  profile  time every layer of the passes on its own and print each\n"
    "         layer's median in milliseconds and its share of their sum\n"
    "\n"
    "options:\n"
    "  --two-input  read the two-input (detector) variant; the default is the\n"
    "               single-input variant of the landmark networks\n"
    "  --runs N     timed passes for bench and profile (default 20, after 2\n"
    "               untimed ones)\n"
    "  --threads N  threads the network shares its work on, for bench and\n"
    "               profile (1 to 64; default: the number of cores, at most 4)\n"
    "  -h, --help   print this help and exit\n"
    "\n"
    "Multiply-adds are exact for convolutions and fully connected layers; pooling\n"
    "and response normalisation count one per window term, the other computing\n"
    "layers one per output value, copying layers none.\n"
    "The network library itself prints its load diagnostics on standard output.\n"
    "Exit status: 0 success, 1 a file that cannot be read or run, 2 a usage error.\n";

struct Options {
    std::string command;
    std::string path;
    bool two_inputs = false;
    int runs = kDefaultRuns;
    bool runs_given = false;
    int threads = 0;  // 0: the library's default
};

int usage_error(const std::string& message) {
    std::fprintf(stderr, "kxmodel: %s (see kxmodel --help)\n", message.c_str());
    return kExitUsage;
}

bool parse_runs(const char* text, int& runs) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 1 || value > 1000000) return false;
    runs = int(value);
    return true;
}

// Answers -1 when the options are complete, else the exit code to leave with.
int parse_options(int argc, char** argv, Options& options) {
    std::string positional[2];
    int positional_count = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--two-input") {
            options.two_inputs = true;
        } else if (arg == "--runs") {
            if (i + 1 >= argc || !parse_runs(argv[i + 1], options.runs)) {
                return usage_error("--runs needs a whole number from 1 to 1000000");
            }
            options.runs_given = true;
            ++i;
        } else if (arg == "--threads") {
            options.threads = i + 1 < argc ? kx::parse_thread_count(argv[i + 1]) : 0;
            if (options.threads == 0) return usage_error("--threads needs a whole number from 1 to 64");
            ++i;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usage_error("unknown option '" + arg + "'");
        } else if (positional_count < 2) {
            positional[positional_count++] = arg;
        } else {
            return usage_error("unexpected argument '" + arg + "'");
        }
    }
    if (positional_count == 0) return usage_error("missing COMMAND");
    options.command = positional[0];
    const bool timed = options.command == "bench" || options.command == "profile";
    if (options.command != "info" && options.command != "run" && !timed) {
        return usage_error("unknown command '" + options.command + "'");
    }
    if (positional_count < 2) return usage_error("missing FILE");
    options.path = positional[1];
    if (options.runs_given && !timed) return usage_error("--runs applies to bench and profile only");
    if (options.threads != 0 && !timed) return usage_error("--threads applies to bench and profile only");
    return -1;
}

int execute(const Options& options) {
    kx::Net net;
    std::string error;
    if (!kx::tool::load_network_file(options.path, options.two_inputs, net, error)) {
        std::fprintf(stderr, "kxmodel: %s\n", error.c_str());
        return kExitFailure;
    }
    if (options.command == "info") return kx::tool::print_info(options.path, options.two_inputs, net);
    if (options.command == "run") return kx::tool::run_once(net, options.two_inputs);
    const int threads = options.threads != 0 ? options.threads : kx::default_thread_count();
    if (options.command == "profile") return kx::tool::profile(net, options.two_inputs, options.runs, threads);
    return kx::tool::bench(net, options.two_inputs, options.runs, threads);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int parsed = parse_options(argc, argv, options);
    if (parsed >= 0) return parsed;
    try {
        return execute(options);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "kxmodel: out of memory with %s\n", options.path.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kxmodel: %s: %s\n", options.path.c_str(), e.what());
    }
    return kExitFailure;
}
