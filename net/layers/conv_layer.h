#pragma once
#include <vector>

#include "net/layer.h"

namespace kx {

// Two-dimensional convolution with square kernels, one stride, zero padding
// and one bias per output map, computed as im2col followed by one matrix
// product. With "use_cross_conv" only the middle row and middle column of
// every stored kernel are used.
//
// Keys: "ksize" (required), "stride" (1), "pad" (0), "map_num" (required),
// "use_cross_conv" (0). Weights: kernels (map_num, C, ksize * ksize), then
// biases (map_num, 1, 1). The output follows the input size on every run.
class ConvLayer : public Layer {
public:
    explicit ConvLayer(const LayerParams& params);
    ~ConvLayer() override;

    bool setup(const BlobList& bottoms, BlobList& tops) override;
    void forward(const BlobList& bottoms, const BlobList& tops) override;

    // Re-reads the shape parameters and re-derives col_buffer and the top
    // from the current bottom. False (nothing reshaped) when the bottom can no
    // longer be convolved with the kernels made at set-up.
    bool reshape_top(const BlobList& bottoms, const BlobList& tops);

    Blob* col_buffer;  // owned; the column matrix of normal mode
    int map_num = 0;
    int out_height = 0;
    int out_width = 0;
    int stride = 0;
    int ksize = 0;
    int pad = 0;
    int use_cross_conv = 0;

private:
    // Reads "ksize", "stride", "pad" and "map_num"; false when a required key
    // is missing or a value makes no sense.
    bool read_shape_params();
    // Sets out_height and out_width for the given bottom; false when either
    // is not positive or the column matrix would be too large.
    bool derive_output_size(const Blob& in);
    void add_bias(float* top, int spatial) const;

    // Cross mode's unfolded input and packed kernels, kept between runs so
    // that their storage is reused.
    std::vector<float> cross_columns_;
    std::vector<float> cross_kernels_;
};

}  // namespace kx
