#pragma once
#include <vector>

#include "net/layer.h"
#include "net/layers/same_shape.h"

namespace kx {

// "softmax" over the channel axis at every position of every item. The
// bottom is overwritten with the exponentials exp(v - max) on the way, so
// no later layer may read the bottom's original values. The top follows the
// bottom's shape, item count included, on every pass.
class SoftmaxLayer : public Layer {
public:
    explicit SoftmaxLayer(const LayerParams& params) : Layer(params) {}

    bool setup(const BlobList& bottoms, BlobList& tops) override;
    void forward(const BlobList& bottoms, const BlobList& tops) override;

    // Re-derives top 0 from the current bottom 0.
    bool reshape_top(const BlobList& bottoms, const BlobList& tops);

private:
    ItemShape shape_;
    // Per-position running maximum and sum of one item, kept between passes
    // to avoid reallocating.
    std::vector<float> max_;
    std::vector<float> sum_;
};

}  // namespace kx
