#pragma once
// Small landmark networks for tests: fully connected heads that all read the
// 60 x 60 input directly, so every output is a chosen linear function of the
// crop's pixels (or, with zero weights, a chosen constant).
#include <memory>
#include <string>
#include <vector>

#include "support/load_helpers.h"  // Net, the model writer and load_bytes

namespace kx::test {

struct DenseHead {
    int outputs = 0;
    std::vector<float> weights;  // outputs x (channels * 60 * 60), row-major; empty: all zero
    std::vector<float> biases;   // outputs values
};

// Number of weights per output of a head on a crop of the given channels.
inline int crop_inputs(int channels = 1) { return channels * 60 * 60; }

// A head whose outputs are the given constants.
inline DenseHead constant_head(const std::vector<float>& values) {
    return DenseHead{static_cast<int>(values.size()), {}, values};
}

// The loaded network, or nullptr when it does not load.
inline std::unique_ptr<Net> load_dense_net(const std::vector<DenseHead>& heads, int channels = 1) {
    ModelFile model;
    model.channels = channels;
    model.height = model.width = 60;
    for (const DenseHead& head : heads) {
        LayerRecord layer;
        layer.params = layer_params({{"type", "fullconnect"}, {"node_num", std::to_string(head.outputs)}});
        layer.bottoms = {0};
        layer.weights = head.weights;
        layer.weights.resize(static_cast<size_t>(head.outputs) * crop_inputs(channels), 0.0f);
        layer.weights.insert(layer.weights.end(), head.biases.begin(), head.biases.end());
        model.layers.push_back(layer);
        model.outputs.push_back(static_cast<int>(model.layers.size()));
    }
    auto net = std::make_unique<Net>();
    return load_bytes(*net, serialize_model(model), false) ? std::move(net) : nullptr;
}

}  // namespace kx::test
