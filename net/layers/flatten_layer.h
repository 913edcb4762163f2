#pragma once
#include "net/layer.h"

namespace kx {

// "flatten": the bottom's values, in their order, as a column of
// channels x 1 x 1. The top keeps the shape fixed at set-up.
class FlattenLayer : public Layer {
public:
    explicit FlattenLayer(const LayerParams& params) : Layer(params) {}

    bool setup(const BlobList& bottoms, BlobList& tops) override;
    void forward(const BlobList& bottoms, const BlobList& tops) override;

private:
    int channels_ = 0;
    int height_ = 1;
    int width_ = 1;
};

}  // namespace kx
