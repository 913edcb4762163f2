#pragma once
#include "net/layer.h"
#include "net/layers/same_shape.h"

namespace kx {

// "lrn": local response normalisation across neighbouring channels,
//   y(c, p) = x(c, p) / (1 + alpha / ksize * sum of x(c', p)^2) ^ beta
// over the window c' = c - pre .. c - pre + ksize - 1 (pre = (ksize - 1) / 2)
// of channels that exist. Only the across-channel form is implemented: with
// "across_channels" 0 every pass says so on standard error and passes the
// input through. The top keeps the shape fixed at set-up.
class LrnLayer : public Layer {
public:
    explicit LrnLayer(const LayerParams& params) : Layer(params) {}

    bool setup(const BlobList& bottoms, BlobList& tops) override;
    void forward(const BlobList& bottoms, const BlobList& tops) override;

private:
    PlaneShape shape_;
    bool across_channels_ = true;
    int ksize_ = 0;
    float alpha_ = 0.0f;
    float beta_ = 0.0f;
    // The scaled squares of the bottom with pre zero planes before them and
    // ksize - 1 - pre after, so that every window is a run of whole planes.
    Blob padded_square_;
};

}  // namespace kx
