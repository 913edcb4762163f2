#include "net/layers/lrn_layer.h"

#include <algorithm>
#include <cmath>

#include "net/console.h"

namespace kx {

bool LrnLayer::setup(const BlobList& bottoms, BlobList& tops) {
    if (bottoms.size() != 1) return false;
    across_channels_ = param_int_or(params, "across_channels", 1) != 0;
    for (const char* key : {"ksize", "alpha", "beta"}) {
        if (!has_param(params, key)) return false;
    }
    ksize_ = param_int(params, "ksize");
    alpha_ = param_float(params, "alpha");
    beta_ = param_float(params, "beta");
    // An empty window would make the padding planes negative in number.
    if (ksize_ <= 0) return false;
    if ((long long)bottoms[0]->channels + ksize_ - 1 > 0x7fffffffLL) return false;

    const Blob& bottom = *bottoms[0];
    shape_.channels = bottom.channels;
    shape_.height = bottom.height;
    shape_.width = bottom.width;
    if (!padded_square_.create(shape_.channels + ksize_ - 1, shape_.height, shape_.width)) {
        return false;
    }
    return append_new_blob(tops, shape_.channels, shape_.height, shape_.width);
}

void LrnLayer::forward(const BlobList& bottoms, const BlobList& tops) {
    // The squares of the whole bottom must fit the padded planes and the
    // bottom must fill the top: only a bottom of the set-up size does both.
    const long long plane = (long long)shape_.height * shape_.width;
    if (bottoms.empty() || tops.empty() || bottoms[0]->count != shape_.channels * plane ||
        tops[0]->count != shape_.channels * plane) {
        say_reshape_failed();
        return;
    }
    const float* x = bottoms[0]->data;
    const int n = bottoms[0]->count;
    float* top = tops[0]->data;
    float* padded = padded_square_.data;
    const float a = alpha_ / float(ksize_);
    const int pre = (ksize_ - 1) / 2;

    std::fill(padded, padded + padded_square_.count, 0.0f);
    float* squares = padded + pre * plane;
    for (int i = 0; i < n; ++i) squares[i] = (x[i] * x[i]) * a;

    std::fill(top, top + n, 1.0f);
    if (across_channels_) {
        // Window offsets in the outer loop: every value still receives its
        // terms in window order.
        for (int j = 0; j < ksize_; ++j) {
            const float* window = padded + j * plane;
            for (int i = 0; i < n; ++i) top[i] += window[i];
        }
    } else {
        say_error("lrn not support across_channels=false yet");
    }

    const double beta = double(beta_);
    for (int i = 0; i < n; ++i) top[i] = x[i] / float(std::pow(double(top[i]), beta));
}

}  // namespace kx
