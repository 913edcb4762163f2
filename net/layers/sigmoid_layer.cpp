#include "net/layers/sigmoid_layer.h"

#include <cmath>

#include "net/console.h"

namespace kx {

bool SigmoidLayer::setup(const BlobList& bottoms, BlobList& tops) {
    return setup_same_shape(bottoms, tops, shape_);
}

void SigmoidLayer::forward(const BlobList& bottoms, const BlobList& tops) {
    if (!bottom_covers_top(bottoms, tops)) {
        say_reshape_failed();
        return;
    }
    const float* x = bottoms[0]->data;
    float* y = tops[0]->data;
    const int n = tops[0]->count;
    for (int i = 0; i < n; ++i) y[i] = float(1.0 / (std::exp(-1.0 * double(x[i])) + 1.0));
}

}  // namespace kx
