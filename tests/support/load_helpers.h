#pragma once
// Shortcuts for loading networks that tests build in memory.
#include <memory>
#include <string>

#include "net/net.h"
#include "stdcnn_writer.h"

namespace kx::test {

// Loads bytes with the reader that matches the file's variant.
inline bool load_bytes(Net& net, const std::string& bytes, bool two_inputs) {
    FILE* f = open_bytes(bytes);
    if (f == nullptr) return false;
    const bool ok = two_inputs ? net.load_model(f) : net.load_model_single_input(f);
    std::fclose(f);
    return ok;
}

inline std::unique_ptr<Net> load_net(const ModelFile& model) {
    auto net = std::make_unique<Net>();
    load_bytes(*net, serialize_model(model), model.two_inputs);
    return net;
}

}  // namespace kx::test
