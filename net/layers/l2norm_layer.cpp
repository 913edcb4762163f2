#include "net/layers/l2norm_layer.h"

#include <cmath>

#include "net/console.h"

namespace kx {

namespace {

// y = x / (|x| + 1e-9) over n values. The sum of squares is a float sum in
// index order; the 1e-9 is added in double to the float root and the result
// rounded to float again before dividing.
void normalise(const float* x, float* y, long long n) {
    float q = 0.0f;
    for (long long i = 0; i < n; ++i) q += x[i] * x[i];
    const float root = float(std::sqrt(double(q)));
    const float d = float(double(root) + 1e-9);
    for (long long i = 0; i < n; ++i) y[i] = x[i] / d;
}

}  // namespace

bool L2normLayer::setup(const BlobList& bottoms, BlobList& tops) {
    if (bottoms.size() != 1) return false;
    const Blob& bottom = *bottoms[0];
    shape_.channels = bottom.channels;
    shape_.height = bottom.height;
    shape_.width = bottom.width;
    if (!has_param(params, "across_channels")) return false;
    across_channels_ = param_int(params, "across_channels") != 0;

    return append_new_blob(tops, shape_.channels, shape_.height, shape_.width);
}

void L2normLayer::forward(const BlobList& bottoms, const BlobList& tops) {
    if (bottoms.empty() || tops.empty()) {
        say_reshape_failed();
        return;
    }
    const Blob& bottom = *bottoms[0];
    float* y = tops[0]->data;

    if (across_channels_) {
        // The whole bottom is one vector; a bottom grown past the set-up
        // shape would be written past the end of the top.
        if (bottom.count > tops[0]->count) {
            say_reshape_failed();
            return;
        }
        normalise(bottom.data, y, bottom.count);
        return;
    }

    const long long plane = (long long)shape_.height * shape_.width;
    if (!bottom_holds(bottoms, tops, shape_.channels * plane)) {
        say_reshape_failed();
        return;
    }
    for (int c = 0; c < shape_.channels; ++c) {
        normalise(bottom.data + c * plane, y + c * plane, plane);
    }
}

}  // namespace kx
