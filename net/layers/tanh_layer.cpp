#include "net/layers/tanh_layer.h"

#include <cmath>

#include "net/console.h"

namespace kx {

bool TanhLayer::setup(const BlobList& bottoms, BlobList& tops) {
    return setup_same_shape(bottoms, tops, shape_);
}

void TanhLayer::forward(const BlobList& bottoms, const BlobList& tops) {
    if (!bottom_covers_top(bottoms, tops)) {
        say_reshape_failed();
        return;
    }
    const float* x = bottoms[0]->data;
    float* y = tops[0]->data;
    const int n = tops[0]->count;
    for (int i = 0; i < n; ++i) {
        const float twice = 2.0f * x[i];
        // The exponential is deliberately narrowed to float before use.
        const float e = float(std::exp(double(twice)));
        y[i] = float((double(e) - 1.0) / (double(e) + 1.0));
    }
}

}  // namespace kx
