#pragma once
#include "net/layer.h"

namespace kx {

// "concat": stacks two or more bottoms along the channel axis, in list
// order. Only "concat_dim" 1 (channels) is supported, and every bottom must
// have the first one's height and width. The top keeps the shape fixed at
// set-up.
class ConcatLayer : public Layer {
public:
    explicit ConcatLayer(const LayerParams& params) : Layer(params) {}

    bool setup(const BlobList& bottoms, BlobList& tops) override;
    void forward(const BlobList& bottoms, const BlobList& tops) override;

private:
    int channels_ = 0;
    int height_ = 0;
    int width_ = 0;
    int concat_dim_ = 0;
};

}  // namespace kx
