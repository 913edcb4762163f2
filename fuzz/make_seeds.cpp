// kx_fuzz_seeds DIR: writes seed inputs for every harness into
// DIR/<harness>/, made by the project's own writers: small networks of every
// layer type, the synthetic detector, a small regression cascade and one
// parameter text per layer type. scripts/fuzz.sh adds the first kilobytes of
// the shipped models.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "detect/synthetic_detector_model.h"
#include "sample_network.h"
#include "stdcnn_writer.h"
#include "support/landmark_model_writer.h"

namespace {

namespace fs = std::filesystem;
using kx::layer_params;
using kx::LayerRecord;
using kx::ModelFile;

bool write(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    return bool(out);
}

std::vector<float> ramp(size_t n) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = float(int(i % 11) - 5) * 0.1f;
    return v;
}

// One image 2 x 8 x 8, then each general layer type once on the blobs before it.
ModelFile every_layer_type() {
    ModelFile m;
    m.channels = 2, m.height = 8, m.width = 8;
    auto add = [&m](const std::string& params, std::vector<int> bottoms, std::vector<float> weights = {}) {
        LayerRecord r{params, std::move(bottoms), std::move(weights), 1};
        r.weights_flag = r.weights.empty() ? 0 : 1;
        m.layers.push_back(r);
    };
    add("type:conv,ksize:3,stride:1,pad:1,map_num:4,", {0}, ramp(4 * 2 * 9 + 4));  // 1: 4x8x8
    add("type:prelu,param_level:1,channels:4,height:1,width:1,", {1}, ramp(4));                                              // 2
    add("type:pool,ksize:2,ksize_w:0,ksize_h:0,stride:2,", {2});                   // 3: 4x4x4
    add("type:lrn,ksize:3,alpha:0.0001,beta:0.75,", {3});                     // 4
    add("type:conv,ksize:3,pad:1,map_num:4,use_cross_conv:1,", {4}, ramp(4 * 4 * 9 + 4));  // 5
    add("type:concat,concat_dim:1,", {4, 5});                                     // 6: 8x4x4
    add("type:pool,pool:ave,ksize:3,ksize_w:0,ksize_h:0,stride:2,pad:1,", {6});     // 7
    add("type:sigmoid,", {7});                                                     // 8
    add("type:tanh,", {8});                                                        // 9
    add("type:flatten,", {9});                                                     // 10
    add("type:fullconnect,node_num:6,", {10}, ramp(6 * 8 * 2 * 2 + 6));            // 11
    add("type:dropout,", {11});                                                    // 12
    add("type:l2norm,across_channels:1,", {12});                                                     // 13
    add("type:reshape,reshape_dim1:1,reshape_dim2:3,reshape_dim3:2,reshape_dim4:1,", {13});                        // 14
    add("type:relu,", {14});                                                       // 15
    add("type:softmax,", {11});                                                    // 16
    m.outputs = {15, 16};
    return m;
}

kx::test::ModelSpec small_cascade() {
    kx::test::ModelSpec m;
    for (int i = 0; i < 95; ++i) m.mean.insert(m.mean.end(), {float(i % 10) * 0.2f - 0.9f, float(i / 10) * 0.2f - 0.9f});
    const kx::test::TreeSpec tree{{kx::test::split(3, 0.1f, -0.2f, 40, -0.1f, 0.05f, 4.0f, 1, 2),
                                   kx::test::leaf(0),
                                   kx::test::split(7, 0.0f, 0.1f, 90, 0.2f, 0.0f, -3.0f, 3, 4),
                                   kx::test::leaf(1), kx::test::leaf(2)},
                                  3};
    for (int s = 0; s < 2; ++s) {
        kx::test::StageSpec stage{{tree, tree}, 95, {}};
        stage.increments.assign(6 * 190, 0.001f * float(s + 1));
        m.stages.push_back(stage);
    }
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kx_fuzz_seeds DIR\n");
        return 2;
    }
    const fs::path dir = argv[1];
    for (const char* harness : {"net_single_fuzzer", "detector_fuzzer", "cascade_fuzzer", "layer_params_fuzzer"}) {
        fs::create_directories(dir / harness);
    }
    bool ok = write(dir / "net_single_fuzzer" / "sample_network", kx::serialize_model(kx::sample_network())) &&
              write(dir / "net_single_fuzzer" / "every_layer_type", kx::serialize_model(every_layer_type()));

    kx::test::SyntheticDetectorOptions options;
    ok = ok && write(dir / "detector_fuzzer" / "synthetic_detector",
                     kx::serialize_model(kx::test::makeSyntheticDetectorModel(options)));
    options.post_nms_top_n = 2;
    ModelFile small = kx::test::makeSyntheticDetectorModel(options);
    small.height = small.width = 16;
    ok = ok && write(dir / "detector_fuzzer" / "synthetic_detector_16", kx::serialize_model(small));

    ok = ok && write(dir / "cascade_fuzzer" / "small_cascade", kx::test::serializeLandmarkModel(small_cascade()));

    int n = 0;
    for (const LayerRecord& layer : every_layer_type().layers) {
        ok = ok && write(dir / "layer_params_fuzzer" / ("layer_" + std::to_string(n++)), layer.params);
    }
    for (const LayerRecord& layer : kx::test::makeSyntheticDetectorModel().layers) {
        ok = ok && write(dir / "layer_params_fuzzer" / ("layer_" + std::to_string(n++)), layer.params);
    }
    if (!ok) {
        std::fprintf(stderr, "kx_fuzz_seeds: cannot write into %s\n", argv[1]);
        return 1;
    }
    return 0;
}
