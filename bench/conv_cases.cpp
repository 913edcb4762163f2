#include "conv_cases.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "stdcnn_writer.h"

namespace kx::bench {

namespace {

std::vector<float> uniform(size_t n, uint32_t seed) {
    std::vector<float> v(n);
    uint32_t s = seed;
    for (float& x : v) {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        x = float(s >> 8) / float(1 << 23) - 1.0f;
    }
    return v;
}

}  // namespace

const std::vector<ConvCase>& conv_cases() {
    // The shipped detector's layers on a 640 x 480 colour frame (first
    // layer 4 x 4 stride 4, 3 x 3 stride 2 and 1, 5 x 5 cross, 1 x 1 heads),
    // first layers a detector may use instead (3 x 3 stride 2), and deeper
    // 3 x 3 and 1 x 1 layers up to 128 channels.
    static const std::vector<ConvCase> cases = {
        {"3x480x640->16 k4s4", 3, 480, 640, 16, 4, 4, 0},
        {"3x480x640->16 k3s2", 3, 480, 640, 16, 3, 2, 1},
        {"3x480x640->32 k3s2", 3, 480, 640, 32, 3, 2, 1},
        {"16x120x160->32 k3s2", 16, 120, 160, 32, 3, 2, 1},
        {"32x60x80->32 k3", 32, 60, 80, 32, 3, 1, 1},
        {"32x60x80->32 k5 cross", 32, 60, 80, 32, 5, 1, 2, true},
        {"32x60x80->36 k1", 32, 60, 80, 36, 1, 1, 0},
        {"64x30x40->128 k3", 64, 30, 40, 128, 3, 1, 1},
        {"128x30x40->128 k1", 128, 30, 40, 128, 1, 1, 0},
    };
    return cases;
}

ConvData conv_data(const ConvCase& c) {
    ConvData d;
    d.kernels = uniform(size_t(c.maps) * c.channels * c.ksize * c.ksize, 0x1234567u);
    if (c.cross) {
        const int centre = (c.ksize - 1) / 2;
        for (size_t i = 0; i < d.kernels.size(); ++i) {
            const int tap = int(i % size_t(c.ksize * c.ksize));
            if (tap / c.ksize != centre && tap % c.ksize != centre) d.kernels[i] = 0.0f;
        }
    }
    d.biases = uniform(size_t(c.maps), 0x89ABCDEu);
    d.input = uniform(size_t(c.channels) * c.height * c.width, 0x2468ACEu);
    return d;
}

std::unique_ptr<Net> kx_conv_net(const ConvCase& c, const ConvData& data) {
    ModelFile m;
    m.channels = c.channels;
    m.height = c.height;
    m.width = c.width;
    LayerRecord conv;
    conv.params = layer_params({{"type", "conv"},
                                {"ksize", std::to_string(c.ksize)},
                                {"stride", std::to_string(c.stride)},
                                {"pad", std::to_string(c.pad)},
                                {"map_num", std::to_string(c.maps)},
                                {"use_cross_conv", c.cross ? "1" : "0"}});
    conv.bottoms = {0};
    conv.weights = data.kernels;
    conv.weights.insert(conv.weights.end(), data.biases.begin(), data.biases.end());
    m.layers = {conv};
    m.outputs = {1};

    auto net = std::make_unique<Net>();
    const std::string bytes = serialize_model(m);
    FILE* file = open_bytes(bytes);
    const bool loaded = file != nullptr && net->load_model_single_input(file);
    if (file != nullptr) std::fclose(file);
    if (!loaded) return nullptr;
    std::copy(data.input.begin(), data.input.end(), net->blobs[0]->data);
    return net;
}

cv::dnn::Net opencv_conv_net(const ConvCase& c, const ConvData& data, cv::Mat& input) {
    cv::dnn::LayerParams p;
    p.name = "conv";
    p.type = "Convolution";
    p.set("kernel_size", c.ksize);
    p.set("stride", c.stride);
    p.set("pad", c.pad);
    p.set("num_output", c.maps);
    p.set("bias_term", true);
    // Both keep kernels as (maps, channels, ky, kx), row-major.
    const int kernel_shape[] = {c.maps, c.channels, c.ksize, c.ksize};
    p.blobs.push_back(cv::Mat(4, kernel_shape, CV_32F, const_cast<float*>(data.kernels.data())).clone());
    p.blobs.push_back(cv::Mat(c.maps, 1, CV_32F, const_cast<float*>(data.biases.data())).clone());

    cv::dnn::Net net;
    net.addLayerToPrev(p.name, p.type, p);
    net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    const int input_shape[] = {1, c.channels, c.height, c.width};
    input = cv::Mat(4, input_shape, CV_32F, const_cast<float*>(data.input.data())).clone();
    net.setInput(input);
    return net;
}

bool conv_outputs_agree(const ConvCase& c, std::string& message) {
    const ConvData data = conv_data(c);
    auto ours = kx_conv_net(c, data);
    if (!ours) {
        message = "our runtime cannot load the convolution " + c.name;
        return false;
    }
    const BlobList out = ours->forward();
    cv::Mat input;
    cv::dnn::Net reference = opencv_conv_net(c, data, input);
    const cv::Mat ref = reference.forward();

    const size_t n = size_t(c.maps) * c.out_height() * c.out_width();
    if (out.size() != 1 || size_t(out[0]->count) != n || ref.total() != n) {
        message = "conv " + c.name + ": output sizes differ (ours " +
                  std::to_string(out.empty() ? 0 : out[0]->count) + ", OpenCV " +
                  std::to_string(ref.total()) + ")";
        return false;
    }
    const float* r = ref.ptr<float>();
    double largest = 0.0, worst = 0.0;
    for (size_t i = 0; i < n; ++i) {
        largest = std::max(largest, std::fabs(double(r[i])));
        worst = std::max(worst, std::fabs(double(out[0]->data[i]) - double(r[i])));
    }
    // Both sum the same products in different orders: agreement to a few
    // float roundings of the largest value.
    if (!(worst <= 1e-4 * std::max(1.0, largest))) {
        char text[200];
        std::snprintf(text, sizeof text, "conv %s: ours and OpenCV differ by up to %g (largest value %g)",
                      c.name.c_str(), worst, largest);
        message = text;
        return false;
    }
    return true;
}

}  // namespace kx::bench
