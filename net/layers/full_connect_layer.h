#pragma once
#include <vector>

#include "net/layer.h"

namespace kx {

// Maps every item of the bottom, read as one vector of D values, to
// "node_num" outputs: W * x + b. D is fixed at set-up by the bottom's size
// then; the number of items may change from run to run.
//
// Keys: "node_num" (required). Weights: W (node_num, D, 1) row-major, then
// biases (node_num, 1, 1). Top: (node_num, 1, 1) for one item, or
// (node_num, 1, 1, R) for R items.
class FullConnectLayer : public Layer {
public:
    explicit FullConnectLayer(const LayerParams& params);

    bool setup(const BlobList& bottoms, BlobList& tops) override;
    void forward(const BlobList& bottoms, const BlobList& tops) override;

    // Re-derives the top from the current bottom's item count. False
    // (nothing reshaped) when the bottom's items no longer match the weights.
    bool reshape_top(const BlobList& bottoms, const BlobList& tops);

    int node_num = 0;
    int top_height = 0;  // always 1
    int top_width = 0;   // always 1
    int item_count = 0;  // items of the bottom at the last run

private:
    void forward_one(const float* x, float* y) const;
    // Outputs [first, last) of one item.
    void forward_outputs(const float* x, float* y, int first, int last) const;
    // Several items: W times the items as columns, with tile_product on
    // blocks of outputs, each output summed in input order.
    void forward_many(const float* x, int items, float* y);

    // forward_many's transposed items and outputs, kept between runs.
    std::vector<float> items_t_;
    std::vector<float> outputs_t_;
};

}  // namespace kx
