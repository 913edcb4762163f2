#include "net/model_file.h"

#include <cstdio>

namespace kx {

bool loadNetFile(Net& net, const std::string& path, bool two_inputs) {
    FILE* file = std::fopen(path.c_str(), "rb");
    const bool loaded = two_inputs ? net.load_model(file) : net.load_model_single_input(file);
    if (file != nullptr) std::fclose(file);
    return loaded;
}

}  // namespace kx
