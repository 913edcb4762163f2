#pragma once
#include "net/layer.h"
#include "net/layers/same_shape.h"

namespace kx {

// "prelu": y = x for x > 0, else slope * x (zero and NaN inputs take the
// slope too). "param_level" says how slopes are shared: 0 one slope for
// everything, 1 one per channel, 2 or more one per element; a negative level
// leaves the top as it was. The slopes are the layer's one weight blob,
// shaped by "channels", "height" and "width". The top keeps the shape fixed
// at set-up.
class PReluLayer : public Layer {
public:
    explicit PReluLayer(const LayerParams& params) : Layer(params) {}

    bool setup(const BlobList& bottoms, BlobList& tops) override;
    void forward(const BlobList& bottoms, const BlobList& tops) override;

private:
    PlaneShape bottom_shape_;
    int param_level_ = 0;
    PlaneShape slope_shape_;
};

}  // namespace kx
