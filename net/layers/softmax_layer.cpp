#include "net/layers/softmax_layer.h"

#include <algorithm>
#include <cmath>

#include "net/console.h"

namespace kx {

namespace {

// Positions per task: a few thousand exponentials outweigh waking a thread.
constexpr int kSoftmaxSpan = 4096;

}  // namespace

bool SoftmaxLayer::setup(const BlobList& bottoms, BlobList& tops) {
    // The same set-up as the layers that follow their bottom: one bottom, a
    // top of its shape, an item count of 1.
    return setup_following_shape(bottoms, tops, shape_);
}

bool SoftmaxLayer::reshape_top(const BlobList& bottoms, const BlobList& tops) {
    return reshape_to_bottom(bottoms, tops, shape_);
}

void SoftmaxLayer::forward(const BlobList& bottoms, const BlobList& tops) {
    if (!reshape_top(bottoms, tops)) {
        say_reshape_failed();
        return;
    }
    const Blob& top_blob = *tops[0];
    const int channels = top_blob.channels;
    const int plane = top_blob.height * top_blob.width;
    const int items = top_blob.num;
    float* v = bottoms[0]->data;
    float* y = tops[0]->data;

    max_.resize(size_t(plane));
    sum_.resize(size_t(plane));
    float* m = max_.data();
    float* s = sum_.data();

    // Each position sees exactly the operations of a per-position loop over
    // its channels, in channel order; running them plane by plane lets the
    // compiler vectorise across positions, and spans of positions are shared
    // out on the threads (the exponentials cost the most).
    const int spans = (plane + kSoftmaxSpan - 1) / kSoftmaxSpan;
    for (int n = 0; n < items; ++n) {
        float* item_in = v + size_t(n) * size_t(channels) * size_t(plane);
        float* item_out = y + size_t(n) * size_t(channels) * size_t(plane);
        parallel_for(spans > 1 ? threads : nullptr, spans, [&](int span, int) {
            const int begin = span * kSoftmaxSpan;
            const int end = std::min(plane, begin + kSoftmaxSpan);
            for (int p = begin; p < end; ++p) m[p] = item_in[p];
            for (int c = 1; c < channels; ++c) {
                const float* in = item_in + size_t(c) * size_t(plane);
                for (int p = begin; p < end; ++p) m[p] = in[p] > m[p] ? in[p] : m[p];
            }
            for (int p = begin; p < end; ++p) s[p] = 0.0f;
            for (int c = 0; c < channels; ++c) {
                float* in = item_in + size_t(c) * size_t(plane);
                for (int p = begin; p < end; ++p) {
                    const float diff = in[p] - m[p];
                    // Every position has a channel at its maximum, whose
                    // exponential is exactly 1: with two channels this
                    // halves the calls.
                    in[p] = diff == 0.0f ? 1.0f : float(std::exp(double(diff)));
                }
                for (int p = begin; p < end; ++p) s[p] += in[p];
            }
            for (int c = 0; c < channels; ++c) {
                const float* in = item_in + size_t(c) * size_t(plane);
                float* out = item_out + size_t(c) * size_t(plane);
                for (int p = begin; p < end; ++p) out[p] = in[p] / s[p];
            }
        });
    }
}

}  // namespace kx
