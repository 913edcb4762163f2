#include "net/params.h"

#include <cstdlib>

namespace kx {

LayerParams parse_layer_params(const std::string& text) {
    LayerParams params;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t colon = text.find(':', pos);
        const size_t comma = text.find(',', pos);
        if (colon == std::string::npos || colon == pos) break;
        if (comma == std::string::npos || comma < colon + 2) break;
        params.emplace(text.substr(pos, colon - pos), text.substr(colon + 1, comma - colon - 1));
        pos = comma + 1;
    }
    if (params.find("type") == params.end()) params.clear();
    return params;
}

bool has_param(const LayerParams& params, const std::string& key) {
    return params.find(key) != params.end();
}

int param_int(const LayerParams& params, const std::string& key) {
    auto it = params.find(key);
    return it == params.end() ? 0 : std::atoi(it->second.c_str());
}

float param_float(const LayerParams& params, const std::string& key) {
    auto it = params.find(key);
    return it == params.end() ? 0.0f : float(std::atof(it->second.c_str()));
}

int param_int_or(const LayerParams& params, const std::string& key, int fallback) {
    return has_param(params, key) ? param_int(params, key) : fallback;
}

float param_float_or(const LayerParams& params, const std::string& key, float fallback) {
    return has_param(params, key) ? param_float(params, key) : fallback;
}

}  // namespace kx
