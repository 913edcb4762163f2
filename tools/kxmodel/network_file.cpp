#include "network_file.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "detect/detection_layers.h"

namespace kx::tool {

namespace {

using FileHandle = std::unique_ptr<FILE, int (*)(FILE*)>;

// True when the file starts with a length-prefixed "stdcnn" magic. The
// loader refuses the same files silently; checking first lets the tool tell
// "not a network file at all" apart from "a damaged network file".
bool has_stdcnn_magic(FILE* file) {
    unsigned char b[4];
    if (std::fread(b, 1, 4, file) != 4) return false;
    const int32_t length = int32_t(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
                                   uint32_t(b[3]) << 24);
    if (length < 1 || length > 1023) return false;
    char text[1024] = {};
    if (std::fread(text, 1, size_t(length), file) != size_t(length)) return false;
    return std::strcmp(text, "stdcnn") == 0;  // the magic ends at its first zero byte
}

}  // namespace

bool load_network_file(const std::string& path, bool two_inputs, Net& net, std::string& error) {
    // The tool reads every network the library reads, the detector's too.
    register_detection_layers();
    FileHandle file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!has_stdcnn_magic(file.get())) {
        if (std::ferror(file.get())) {  // a directory, for one
            error = "cannot read " + path + ": " + std::strerror(errno);
            return false;
        }
        error = "cannot load " + path + ": not a stdcnn network file (no \"stdcnn\" magic)";
        return false;
    }
    std::rewind(file.get());
    const bool loaded =
        two_inputs ? net.load_model(file.get()) : net.load_model_single_input(file.get());
    if (!loaded) {
        error = "cannot load " + path + ": not a valid " +
                (two_inputs ? std::string("two-input") : std::string("single-input")) +
                " stdcnn network (damaged or truncated file, unknown layer type, or the other "
                "variant: see --two-input)";
        return false;
    }
    return true;
}

}  // namespace kx::tool
