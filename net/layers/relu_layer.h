#pragma once
#include "net/layer.h"
#include "net/layers/same_shape.h"

namespace kx {

// The rectifier of one value: x for x > 0, else +0.0 (so -0.0 and NaN
// become +0.0). Also used by a convolution that does the rectifier's pass
// (see Net), so that both give the same bits.
inline float rectified(float x) { return x > 0.0f ? x : 0.0f; }

// "relu": y = rectified(x) for every value. The top
// follows the bottom's shape, item count included, on every pass.
class ReluLayer : public Layer {
public:
    explicit ReluLayer(const LayerParams& params) : Layer(params) {}

    bool setup(const BlobList& bottoms, BlobList& tops) override;
    void forward(const BlobList& bottoms, const BlobList& tops) override;

    // Re-derives top 0 from the current bottom 0.
    bool reshape_top(const BlobList& bottoms, const BlobList& tops);

private:
    ItemShape shape_;
};

}  // namespace kx
