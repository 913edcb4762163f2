#pragma once
#include <string>

#include "net/layer.h"

namespace kx {

// Maximum or average pooling over rectangular windows, channel by channel.
// The output size is rounded up and fixed at set-up; later runs clip the
// windows against whatever size the bottom then has.
//
// Keys: "ksize" (required; also the default stride), "ksize_w" and
// "ksize_h" (required; 0 means "ksize"), "stride", "pad" (0), "pool" ("max"
// or "ave", default "max"). No weights.
class PoolLayer : public Layer {
public:
    explicit PoolLayer(const LayerParams& params);

    bool setup(const BlobList& bottoms, BlobList& tops) override;
    void forward(const BlobList& bottoms, const BlobList& tops) override;

    int channels = 0;
    int out_height = 0;
    int out_width = 0;
    int stride = 0;
    int ksize = 0;
    int ksize_w = 0;
    int ksize_h = 0;
    int pad = 0;
    std::string pool;

private:
    void max_pool(const float* in, int height, int width, float* out) const;
    void average_pool(const float* in, int height, int width, float* out) const;
};

// Output size of one side: the window count rounded up, computed as the
// layer always has (float division, double ceil, float + 1, truncation),
// before the padding correction of set-up.
int pool_out_size(int size, int window, int pad, int stride);

}  // namespace kx
