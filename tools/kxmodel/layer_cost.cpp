#include "layer_cost.h"

#include <string>

#include "net/params.h"

namespace kx::tool {

namespace {

int64_t multiply_adds(const Layer& layer, const Blob* top) {
    if (top == nullptr) return 0;
    const LayerParams& p = layer.params;
    const std::string type = layer.type();
    const int64_t outputs = top->count;

    if (type == "conv") {
        // The kernel blob is (maps, input channels, ksize * ksize).
        if (layer.weights.empty()) return 0;
        const int64_t channels = layer.weights[0]->height;
        const int64_t ksize = param_int(p, "ksize");
        const int64_t taps = param_int(p, "use_cross_conv") != 0 ? 2 * ksize - 1 : ksize * ksize;
        return outputs * channels * taps;
    }
    if (type == "fullconnect") {
        if (layer.weights.empty()) return 0;
        return int64_t(layer.weights[0]->count) * (top->num > 0 ? top->num : 1);
    }
    if (type == "pool") {
        const int ksize = param_int(p, "ksize");
        const int64_t kw = param_int(p, "ksize_w") != 0 ? param_int(p, "ksize_w") : ksize;
        const int64_t kh = param_int(p, "ksize_h") != 0 ? param_int(p, "ksize_h") : ksize;
        return outputs * kw * kh;
    }
    if (type == "lrn") return outputs * param_int(p, "ksize");
    if (type == "relu" || type == "prelu" || type == "sigmoid" || type == "tanh" ||
        type == "softmax" || type == "l2norm") {
        return outputs;
    }
    return 0;
}

}  // namespace

LayerCost layer_cost(const Net& net, size_t layer_index) {
    const Layer& layer = *net.layers[layer_index];
    LayerCost cost;
    for (const Blob* w : layer.weights) cost.weights += w->count;

    const auto& tops = net.top_ids[layer_index];
    const Blob* top = tops.empty() ? nullptr : net.blobs[size_t(tops[0])];
    cost.multiply_adds = multiply_adds(layer, top);
    return cost;
}

LayerCost network_cost(const Net& net) {
    LayerCost total;
    for (size_t i = 0; i < net.layers.size(); ++i) {
        const LayerCost c = layer_cost(net, i);
        total.weights += c.weights;
        total.multiply_adds += c.multiply_adds;
    }
    return total;
}

}  // namespace kx::tool
