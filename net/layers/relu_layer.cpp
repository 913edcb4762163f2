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
    for_element_chunks(threads, tops[0]->count, [x, y](int begin, int end) {
        for (int i = begin; i < end; ++i) y[i] = rectified(x[i]);
    });
}

}  // namespace kx
