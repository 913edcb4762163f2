#include "net/net.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "net/console.h"
#include "net/layers/conv_layer.h"

namespace kx {

Net::~Net() {
    for (Layer* layer : layers) delete layer;
    for (Blob* blob : blobs) delete blob;
}

void Net::fold_rectifiers() {
    folded_.assign(layers.size(), 0);
    for (size_t k = 0; k + 1 < layers.size(); ++k) {
        auto* conv = dynamic_cast<ConvLayer*>(layers[k]);
        if (conv == nullptr || layers[k + 1]->type() != "relu" || top_ids[k].size() != 1 ||
            top_ids[k + 1].size() != 1 || bottom_ids[k + 1] != top_ids[k]) {
            continue;
        }
        // The convolution's own top is left unwritten: nothing else may read it.
        const int top = top_ids[k][0];
        bool read_elsewhere = std::count(output_ids.begin(), output_ids.end(), top) > 0;
        for (size_t j = 0; j < layers.size() && !read_elsewhere; ++j) {
            if (j == k + 1) continue;
            read_elsewhere = std::count(bottom_ids[j].begin(), bottom_ids[j].end(), top) > 0;
        }
        if (read_elsewhere) continue;
        conv->rectify_output = true;
        folded_[k + 1] = 1;
    }
}

void Net::run_layer(size_t k) {
    if (k >= layers.size()) return;
    if (folded_into_previous(k)) return;
    // A layer that does the next one's pass writes that one's tops.
    const std::vector<int>& top_list = folded_into_previous(k + 1) ? top_ids[k + 1] : top_ids[k];
    BlobList bottoms;
    BlobList tops;
    bottoms.reserve(bottom_ids[k].size());
    tops.reserve(top_list.size());
    for (int id : bottom_ids[k]) bottoms.push_back(blobs[size_t(id)]);
    for (int id : top_list) tops.push_back(blobs[size_t(id)]);
    layers[k]->threads = threads;
    layers[k]->forward(bottoms, tops);
}

BlobList Net::collect_outputs() const {
    BlobList outputs;
    outputs.reserve(output_ids.size());
    for (int id : output_ids) outputs.push_back(blobs[size_t(id)]);
    return outputs;
}

BlobList Net::forward() {
    if (!ready) {
        say("cnn not ready");
        return {};
    }
    for (size_t k = 0; k < layers.size(); ++k) run_layer(k);
    return collect_outputs();
}

BlobList Net::forward_image(const unsigned char* pixels, int width, int height, int step) {
    if (!ready) {
        say("cnn not ready");
        return {};
    }
    const int channels = int64_t(step) >= 3 * int64_t(width) ? 3 : 1;
    if (channels != input_channels || width != input_width || height != input_height) {
        say("dimension not match: channels: " + std::to_string(input_channels));
        return {};
    }
    if (pixels == nullptr) return {};
    // A detection run may have refitted blob 0 to another image size.
    Blob* input = blobs[0];
    if (input->channels != input_channels || input->height != height || input->width != width) {
        input->reshape(input_channels, input_height, input_width);
    }

    float* out = input->data;
    for (int c = 0; c < channels; ++c) {
        for (int y = 0; y < height; ++y) {
            const unsigned char* row = pixels + size_t(y) * size_t(step);
            for (int x = 0; x < width; ++x) *out++ = float(row[x * channels + c]);
        }
    }
    return forward();
}

}  // namespace kx
