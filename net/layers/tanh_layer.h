#pragma once
#include "net/layer.h"
#include "net/layers/same_shape.h"

namespace kx {

// "tanh": y = (e - 1) / (e + 1) with e = exp(2x) rounded to float. Because
// of that rounding, inputs above about 44.36 give NaN (infinity over
// infinity) rather than 1. The top keeps the shape fixed at set-up.
class TanhLayer : public Layer {
public:
    explicit TanhLayer(const LayerParams& params) : Layer(params) {}

    bool setup(const BlobList& bottoms, BlobList& tops) override;
    void forward(const BlobList& bottoms, const BlobList& tops) override;

private:
    PlaneShape shape_;
};

}  // namespace kx
