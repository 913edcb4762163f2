#pragma once
#include "net/layer.h"
#include "net/layers/same_shape.h"

namespace kx {

// "dropout" at inference time: the top is an exact copy of the bottom, with
// no scaling and nothing dropped. The top follows the bottom's shape, item
// count included, on every pass.
class DropoutLayer : public Layer {
public:
    explicit DropoutLayer(const LayerParams& params) : Layer(params) {}

    bool setup(const BlobList& bottoms, BlobList& tops) override;
    void forward(const BlobList& bottoms, const BlobList& tops) override;

    // Re-derives top 0 from the current bottom; false unless there is
    // exactly one bottom.
    bool reshape_top(const BlobList& bottoms, const BlobList& tops);

private:
    ItemShape shape_;
};

}  // namespace kx
