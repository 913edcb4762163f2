#include "net/layers/relu_layer.h"

#include "net/console.h"

namespace kx {

bool ReluLayer::setup(const BlobList& bottoms, BlobList& tops) {
    return setup_following_shape(bottoms, tops, shape_);
}

bool ReluLayer::reshape_top(const BlobList& bottoms, const BlobList& tops) {
    return reshape_to_bottom(bottoms, tops, shape_);
}

void ReluLayer::forward(const BlobList& bottoms, const BlobList& tops) {
    if (!reshape_top(bottoms, tops)) {
        say_reshape_failed();
        return;
    }
    const float* x = bottoms[0]->data;
    float* y = tops[0]->data;
    const int n = tops[0]->count;
    for (int i = 0; i < n; ++i) y[i] = x[i] > 0.0f ? x[i] : 0.0f;
}

}  // namespace kx
