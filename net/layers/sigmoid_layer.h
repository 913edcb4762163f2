#pragma once
#include "net/layer.h"
#include "net/layers/same_shape.h"

namespace kx {

// "sigmoid": y = 1 / (exp(-x) + 1), computed in double precision and
// rounded to float. The top keeps the shape fixed at set-up.
class SigmoidLayer : public Layer {
public:
    explicit SigmoidLayer(const LayerParams& params) : Layer(params) {}

    bool setup(const BlobList& bottoms, BlobList& tops) override;
    void forward(const BlobList& bottoms, const BlobList& tops) override;

private:
    PlaneShape shape_;
};

}  // namespace kx
