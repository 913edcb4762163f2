#pragma once
#include "net/layer.h"
#include "net/layers/same_shape.h"

namespace kx {

// "l2norm": divides by the Euclidean norm (plus 1e-9), either of the whole
// bottom ("across_channels" not 0) or of each channel plane on its own. The
// top keeps the shape fixed at set-up.
class L2normLayer : public Layer {
public:
    explicit L2normLayer(const LayerParams& params) : Layer(params) {}

    bool setup(const BlobList& bottoms, BlobList& tops) override;
    void forward(const BlobList& bottoms, const BlobList& tops) override;

private:
    PlaneShape shape_;
    bool across_channels_ = true;
};

}  // namespace kx
