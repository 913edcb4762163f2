#include "sample_network.h"

#include <cmath>
#include <cstdint>
#include <string>

namespace kx {

namespace {

// xorshift32: the same sequence with every compiler and standard library,
// which std's distributions do not promise.
class Random {
public:
    // Uniform in [-1, 1).
    float next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return float(state_ >> 8) / float(1 << 23) - 1.0f;
    }

private:
    uint32_t state_ = 0x9E3779B9u;
};

std::vector<float> uniform(Random& random, size_t n, float scale) {
    std::vector<float> v(n);
    for (float& x : v) x = random.next() * scale;
    return v;
}

// Weights (`stored` per output) then biases, scaled so that the outputs keep
// the inputs' range: `used` of the stored weights take part, and the inputs
// span about `input_scale`.
std::vector<float> weights_and_biases(Random& random, size_t outputs, size_t stored, size_t used,
                                      float input_scale) {
    std::vector<float> w = uniform(random, outputs * stored, std::sqrt(3.0f / float(used)) / input_scale);
    const std::vector<float> b = uniform(random, outputs, 0.1f);
    w.insert(w.end(), b.begin(), b.end());
    return w;
}

LayerRecord layer(const std::vector<std::pair<std::string, std::string>>& params, int bottom,
                  std::vector<float> weights = {}) {
    LayerRecord r;
    r.params = layer_params(params);
    r.bottoms = {bottom};
    r.weights = std::move(weights);
    r.weights_flag = r.weights.empty() ? 0 : 1;
    return r;
}

}  // namespace

ModelFile sample_network() {
    Random random;
    ModelFile m;
    m.channels = 1;
    m.height = 60;
    m.width = 60;
    // Blob ids: 0 input, then one top per layer in order (layer i makes blob i + 1).
    m.layers = {
        // 1: 16 x 29 x 29; pixels are 0..255, hence the first layer's extra scale.
        layer({{"type", "conv"}, {"ksize", "3"}, {"stride", "2"}, {"map_num", "16"}}, 0,
              weights_and_biases(random, 16, 1 * 9, 1 * 9, 128.0f)),
        // 2: per-channel slopes
        layer({{"type", "prelu"}, {"param_level", "1"}, {"channels", "16"}, {"height", "1"}, {"width", "1"}},
              1, uniform(random, 16, 0.25f)),
        // 3: 32 x 29 x 29; cross kernels use 5 of the 9 taps
        layer({{"type", "conv"}, {"ksize", "3"}, {"pad", "1"}, {"map_num", "32"}, {"use_cross_conv", "1"}},
              2, weights_and_biases(random, 32, 16 * 9, 16 * 5, 1.0f)),
        layer({{"type", "relu"}}, 3),  // 4
        // 5: 32 x 15 x 15 (the last window hangs over the edge)
        layer({{"type", "pool"}, {"ksize", "2"}, {"ksize_w", "0"}, {"ksize_h", "0"}, {"stride", "2"},
               {"pool", "max"}},
              4),
        // 6: 48 x 7 x 7
        layer({{"type", "conv"}, {"ksize", "3"}, {"stride", "2"}, {"map_num", "48"}}, 5,
              weights_and_biases(random, 48, 32 * 9, 32 * 9, 1.0f)),
        layer({{"type", "relu"}}, 6),                                   // 7
        layer({{"type", "fullconnect"}, {"node_num", "128"}}, 7,        // 8
              weights_and_biases(random, 128, 48 * 7 * 7, 48 * 7 * 7, 1.0f)),
        layer({{"type", "relu"}}, 8),                                   // 9
        layer({{"type", "fullconnect"}, {"node_num", "10"}}, 9,         // 10: five (x, y) points
              weights_and_biases(random, 10, 128, 128, 1.0f)),
        layer({{"type", "fullconnect"}, {"node_num", "2"}}, 9,          // 11: face / not face
              weights_and_biases(random, 2, 128, 128, 1.0f)),
        layer({{"type", "softmax"}}, 11),                               // 12
    };
    m.outputs = {10, 12};
    return m;
}

}  // namespace kx
