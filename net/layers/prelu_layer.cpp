#include "net/layers/prelu_layer.h"

#include "net/console.h"

namespace kx {

namespace {

// How many slopes a level needs to cover a bottom of `plane_count` planes of
// `plane_size` values; none for a negative level, which computes nothing.
long long slopes_needed(int level, int plane_count, int plane_size) {
    if (level < 0) return 0;
    if (level == 0) return 1;
    if (level == 1) return plane_count;
    return (long long)plane_count * plane_size;
}

}  // namespace

bool PReluLayer::setup(const BlobList& bottoms, BlobList& tops) {
    if (bottoms.size() != 1) return false;
    for (const char* key : {"param_level", "channels", "height", "width"}) {
        if (!has_param(params, key)) return false;
    }
    param_level_ = param_int(params, "param_level");
    slope_shape_.channels = param_int(params, "channels");
    slope_shape_.height = param_int(params, "height");
    slope_shape_.width = param_int(params, "width");

    if (!append_new_blob(weights, slope_shape_.channels, slope_shape_.height, slope_shape_.width)) return false;

    const Blob& bottom = *bottoms[0];
    bottom_shape_.channels = bottom.channels;
    bottom_shape_.height = bottom.height;
    bottom_shape_.width = bottom.width;

    // Slopes too few for the bottom would be read past their end on every
    // pass: such a model is refused here.
    const long long needed =
        slopes_needed(param_level_, bottom.channels, bottom.height * bottom.width);
    if (weights.back()->count < needed) return false;

    return append_new_blob(tops, bottom_shape_.channels, bottom_shape_.height, bottom_shape_.width);
}

namespace {

// The product is formed for every value, so that the choice compiles to a
// blend: a branch on the sign mispredicts on real feature maps.
inline float leaky(float x, float slope) {
    const float scaled = x * slope;
    return x > 0.0f ? x : scaled;
}

}  // namespace

void PReluLayer::forward(const BlobList& bottoms, const BlobList& tops) {
    if (!bottom_covers_top(bottoms, tops)) {
        say_reshape_failed();
        return;
    }
    const float* x = bottoms[0]->data;
    float* y = tops[0]->data;
    const float* a = weights[0]->data;
    const int n = tops[0]->count;

    const int level = param_level_;
    const int plane = bottom_shape_.height * bottom_shape_.width;
    for_element_chunks(threads, n, [=](int begin, int end) {
        if (level == 0) {
            const float slope = a[0];
            for (int i = begin; i < end; ++i) y[i] = leaky(x[i], slope);
        } else if (level == 1) {
            // One slope per plane of the bottom's set-up size.
            for (int start = begin; start < end;) {
                const int c = start / plane;
                const int stop = std::min(end, (c + 1) * plane);
                const float slope = a[c];
                for (int i = start; i < stop; ++i) y[i] = leaky(x[i], slope);
                start = stop;
            }
        } else if (level >= 2) {
            for (int i = begin; i < end; ++i) y[i] = leaky(x[i], a[i]);
        }
    });
}

}  // namespace kx
