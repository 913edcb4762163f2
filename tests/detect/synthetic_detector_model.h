#pragma once
// A small two-input detector network with hand-chosen weights, written in
// the "stdcnn" format, whose detections can be worked out by hand.
// Layers (blob ids in brackets; 0 is the image, 1 the information triple):
//   conv 16x16 stride 16 [2], relu [3]: f = max(v / 255 - 0.5, 0) for a cell
//       of mean brightness v (the bias adds the channel means back)
//   conv 1x1 [4]: anchor 3 (128 x 128) scores f, the others -1
//   conv 1x1 [5]: all deltas 0
//   frcnnproposal on [4], [5], [1] -> [6]
//   roipooling 9x9 at 1/16 on [3] -> [7]: for an anchor-3 box away from the
//       image edges, pooled cell (3, 3) is the box's own feature cell
//   fullconnect 8 [8]: face deltas 0 (the background's must not be used)
//   fullconnect 2 [9]: logits background_bias, face_gain * pooled(3, 3) + face_bias
//   softmax [10]
// Outputs: [8] box deltas, [10] class probabilities.
#include <string>
#include <utility>
#include <vector>

#include "stdcnn_writer.h"

namespace kx::test {

struct SyntheticDetectorOptions {
    int post_nms_top_n = 0;  // 0: key left out, the layer's default applies
    float face_gain = 10.0f;
    float face_bias = -2.0f;
    float background_bias = 0.0f;
};

constexpr int kSyntheticPooled = 9;
constexpr int kSyntheticFaceWeight = 3 * kSyntheticPooled + 3;  // pooled cell (3, 3)

inline ModelFile makeSyntheticDetectorModel(const SyntheticDetectorOptions& opt = {}) {
    ModelFile m;
    m.two_inputs = true;
    m.channels = 3;
    m.height = m.width = 32;  // the shape the layers are set up with; runs use the image's
    auto add = [&m](const std::vector<std::pair<std::string, std::string>>& params, std::vector<int> bottoms,
                    std::vector<float> weights = {}) {
        LayerRecord layer;
        layer.params = layer_params(params);
        layer.bottoms = std::move(bottoms);
        layer.weights = std::move(weights);
        layer.weights_flag = layer.weights.empty() ? 0 : 1;
        m.layers.push_back(layer);
    };

    std::vector<float> backbone(3 * 16 * 16, float(1.0 / (3 * 16 * 16 * 255.0)));
    backbone.push_back(float((102.9801 + 115.9465 + 122.7717) / (3 * 255.0) - 0.5));
    add({{"type", "conv"}, {"ksize", "16"}, {"stride", "16"}, {"map_num", "1"}}, {0}, backbone);
    add({{"type", "relu"}}, {2});

    std::vector<float> scores(18 + 18, 0.0f);  // kernels, then biases
    for (int a = 0; a < 9; ++a) scores[size_t(18 + 9 + a)] = a == 3 ? 0.0f : -1.0f;
    scores[9 + 3] = 1.0f;
    add({{"type", "conv"}, {"ksize", "1"}, {"map_num", "18"}}, {3}, scores);
    add({{"type", "conv"}, {"ksize", "1"}, {"map_num", "36"}}, {3}, std::vector<float>(36 + 36, 0.0f));

    std::vector<std::pair<std::string, std::string>> proposal = {{"type", "frcnnproposal"}};
    if (opt.post_nms_top_n > 0) proposal.push_back({"rpn_post_nms_top_n", std::to_string(opt.post_nms_top_n)});
    add(proposal, {4, 5, 1});
    const std::string pooled = std::to_string(kSyntheticPooled);
    add({{"type", "roipooling"}, {"pooled_w", pooled}, {"pooled_h", pooled}, {"spatial_scale", "0.0625"}}, {3, 6});

    const size_t pooled_values = kSyntheticPooled * kSyntheticPooled;
    std::vector<float> deltas(8 * pooled_values, 0.0f);
    deltas.insert(deltas.end(), {0.5f, 0.5f, 0.3f, 0.3f, 0.0f, 0.0f, 0.0f, 0.0f});
    add({{"type", "fullconnect"}, {"node_num", "8"}}, {7}, deltas);
    std::vector<float> logits(2 * pooled_values, 0.0f);
    logits[pooled_values + kSyntheticFaceWeight] = opt.face_gain;
    logits.insert(logits.end(), {opt.background_bias, opt.face_bias});
    add({{"type", "fullconnect"}, {"node_num", "2"}}, {7}, logits);
    add({{"type", "softmax"}}, {9});

    m.outputs = {8, 10};
    return m;
}

}  // namespace kx::test
