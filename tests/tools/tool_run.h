#pragma once
// Running a built command-line tool from a test: its exit code and what it
// printed on each stream.
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kx::test {

struct Outcome {
    int exit_code = -1;  // -1: the process did not exit normally (a crash)
    std::string out, err;
};

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

inline std::string quote(const std::string& s) { return "'" + s + "'"; }

// Runs `command` (already quoted as needed) with its output in files of `dir`.
inline Outcome runTool(const std::string& command, const std::filesystem::path& dir) {
    const std::filesystem::path out = dir / "stdout.txt", err = dir / "stderr.txt";
    const int status =
        std::system((command + " >" + quote(out.string()) + " 2>" + quote(err.string()) + " </dev/null").c_str());
    Outcome o;
    if (status != -1 && WIFEXITED(status)) o.exit_code = WEXITSTATUS(status);
    o.out = readFile(out);
    o.err = readFile(err);
    return o;
}

}  // namespace kx::test
