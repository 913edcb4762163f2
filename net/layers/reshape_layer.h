#pragma once
#include "net/layer.h"

namespace kx {

// "reshape": gives the bottom's values, in their order, a new
// channels x height x width shape from "reshape_dim2", "reshape_dim3" and
// "reshape_dim4" ("reshape_dim1" must be present but takes no part). A value
// of 0 keeps the bottom's dimension; one value of -1 is inferred from the
// element count. The parameters are read again and the shape re-derived from
// the current bottom on every pass.
class ReshapeLayer : public Layer {
public:
    explicit ReshapeLayer(const LayerParams& params) : Layer(params) {}

    bool setup(const BlobList& bottoms, BlobList& tops) override;
    void forward(const BlobList& bottoms, const BlobList& tops) override;

    // Re-derives top 0's shape from the current bottom.
    bool reshape_top(const BlobList& bottoms, const BlobList& tops);

private:
    struct Dims {
        int channels;
        int height;
        int width;
    };
    // Works out the new shape from the parameters and the bottom, writing
    // the matching message on failure.
    bool derive_dims(const BlobList& bottoms, Dims& dims) const;
};

}  // namespace kx
