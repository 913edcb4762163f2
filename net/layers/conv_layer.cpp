#include "net/layers/conv_layer.h"

#include <climits>
#include <cstdint>

#include "net/console.h"
#include "net/gemm.h"
#include "net/layers/im2col.h"

namespace kx {

ConvLayer::ConvLayer(const LayerParams& params) : Layer(params), col_buffer(new Blob) {}

ConvLayer::~ConvLayer() { delete col_buffer; }

bool ConvLayer::read_shape_params() {
    if (!has_param(params, "ksize") || !has_param(params, "map_num")) return false;
    ksize = param_int(params, "ksize");
    stride = param_int_or(params, "stride", 1);
    pad = param_int_or(params, "pad", 0);
    map_num = param_int(params, "map_num");
    // A zero stride would divide by zero in the size formula, and a negative
    // pad would make im2col read before the image.
    return ksize >= 1 && stride >= 1 && pad >= 0;
}

bool ConvLayer::derive_output_size(const Blob& in) {
    // In 64 bits, so that absurd parameters are refused instead of
    // overflowing; the division truncates toward zero as in 32 bits.
    int64_t depth = 0;
    if (__builtin_mul_overflow(int64_t(in.channels), int64_t(ksize), &depth) ||
        __builtin_mul_overflow(depth, int64_t(ksize), &depth)) {
        return false;
    }
    const int64_t h = (int64_t(in.height) + 2 * int64_t(pad) - ksize) / stride + 1;
    const int64_t w = (int64_t(in.width) + 2 * int64_t(pad) - ksize) / stride + 1;
    if (depth <= 0 || depth > INT_MAX || h <= 0 || h > INT_MAX || w <= 0 || w > INT_MAX) {
        return false;
    }
    out_height = int(h);
    out_width = int(w);
    return true;
}

bool ConvLayer::setup(const BlobList& bottoms, BlobList& tops) {
    if (bottoms.size() != 1) return false;
    if (!read_shape_params()) return false;
    use_cross_conv = param_int_or(params, "use_cross_conv", 0);

    const Blob& in = *bottoms[0];
    if (!derive_output_size(in)) return false;
    if (!col_buffer->create(in.channels * ksize * ksize, out_height, out_width)) return false;

    // Kernels, then biases; both are refused together (map_num <= 0).
    if (!append_new_blob(weights, map_num, in.channels, ksize * ksize)) return false;
    if (!append_new_blob(weights, map_num, 1, 1)) return false;

    return append_new_blob(tops, map_num, out_height, out_width);
}

bool ConvLayer::reshape_top(const BlobList& bottoms, const BlobList& tops) {
    if (bottoms.size() != 1 || tops.empty() || weights.size() != 2) return false;
    if (!read_shape_params()) return false;

    // The kernels fix the channel count, the kernel size and the map count;
    // a bottom or parameters that disagree would read past them.
    const Blob& in = *bottoms[0];
    const Blob& kernels = *weights[0];
    if (in.data == nullptr || in.num < 1 || in.channels != kernels.height) return false;
    if (int64_t(ksize) * ksize != kernels.width || map_num != kernels.channels) return false;

    if (!derive_output_size(in)) return false;

    // The column matrix is private scratch that every normal-mode run
    // rewrites whole, so storage that already has the right shape is kept:
    // for a large image it is tens of megabytes, and fresh storage would be
    // faulted in page by page on every run.
    const int depth = in.channels * ksize * ksize;
    Blob& cols = *col_buffer;
    const bool cols_fit = cols.data != nullptr && cols.channels == depth &&
                          cols.height == out_height && cols.width == out_width && cols.num == 1;
    if (!cols_fit && !cols.reshape(depth, out_height, out_width)) return false;
    return tops[0]->reshape(map_num, out_height, out_width);
}

void ConvLayer::forward(const BlobList& bottoms, const BlobList& tops) {
    if (!reshape_top(bottoms, tops)) {
        say_reshape_failed();
        return;
    }
    const Blob& in = *bottoms[0];
    const float* kernels = weights[0]->data;
    float* top = tops[0]->data;
    const int spatial = out_height * out_width;

    if (use_cross_conv == 0) {
        const int depth = in.channels * ksize * ksize;
        im2col(in.data, in.channels, in.height, in.width, ksize, pad, stride, col_buffer->data);
        gemm(kernels, col_buffer->data, top, map_num, spatial, depth);
    } else {
        const int depth = in.channels * (2 * ksize - 1);
        cross_columns_.resize(size_t(depth) * spatial);
        cross_kernels_.resize(size_t(map_num) * depth);
        cross_im2col(in.data, in.channels, in.height, in.width, ksize, pad, stride,
                     cross_columns_.data());
        pack_cross_weights(kernels, in.channels, ksize, map_num, cross_kernels_.data());
        gemm(cross_kernels_.data(), cross_columns_.data(), top, map_num, spatial, depth);
    }
    add_bias(top, spatial);
}

void ConvLayer::add_bias(float* top, int spatial) const {
    const float* biases = weights[1]->data;
    for (int m = 0; m < map_num; ++m) {
        const float b = biases[m];
        float* plane = top + size_t(m) * spatial;
        for (int n = 0; n < spatial; ++n) plane[n] += b;
    }
}

}  // namespace kx
