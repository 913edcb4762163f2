#pragma once
#include <vector>

#include "net/layer.h"

namespace kx {

// Two-dimensional convolution with square kernels, one stride, zero padding
// and one bias per output map. The output is cut into tiles of whole rows
// (and, for small maps, groups of output maps), each multiplied by the
// kernels with tile_product on the layer's threads when it has some,
// reading the taps in place from the zero-padded input split into one phase
// plane per stride offset (see forward_tiles); nothing is unfolded. Each
// output value is summed in the same order whatever the tiling, so every
// thread count gives the same bits.
// With "use_cross_conv" only the middle row and middle column of every
// stored kernel are used.
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

    // Re-reads the shape parameters and re-derives the top from the current
    // bottom. False (nothing reshaped) when the bottom can no longer be
    // convolved with the kernels made at set-up.
    bool reshape_top(const BlobList& bottoms, const BlobList& tops);

    Blob* col_buffer;  // owned; per-thread blocks of product output
    int map_num = 0;
    int out_height = 0;
    int out_width = 0;
    int stride = 0;
    int ksize = 0;
    int pad = 0;
    int use_cross_conv = 0;
    // Writes max(x, 0) instead of x: set by the network when this layer's
    // top feeds a rectifier and nothing else, whose pass is then skipped.
    bool rectify_output = false;

private:
    // Reads "ksize", "stride", "pad" and "map_num"; false when a required key
    // is missing or a value makes no sense.
    bool read_shape_params();
    // Sets out_height and out_width for the given bottom; false when either
    // is not positive or the column matrix would be too large.
    bool derive_output_size(const Blob& in);
    // How the output is cut into tasks: row tiles of `rows` output rows,
    // times groups of `group_maps` output maps (only when threaded).
    struct Tiling {
        int rows = 1;
        int tiles = 1;
        int group_maps = 1;
        int groups = 1;
    };
    Tiling tiling(int tile_rows, bool threaded) const;
    // The tiling of a product whose output rows read `row_floats` input
    // values each, on rows of wq columns.
    Tiling tiling_for(size_t row_floats, int wq, const ThreadPool* pool) const;
    void forward_tiles(const Blob& in, const std::vector<int>& taps, const float* kernels, ThreadPool* pool,
                       float* top);
    // Grows col_buffer to at least `floats` values; never shrinks it.
    void reserve_scratch(size_t floats);

    // Storage kept between runs so that it is reused: cross mode's packed
    // kernels, the input's phase planes (whole, or each thread's planes of
    // its tile's rows) and the taps' offsets into them.
    std::vector<float> cross_kernels_;
    std::vector<float> phases_;
    std::vector<float> row_scratch_;  // one padded input row per thread
    std::vector<int> offsets_;
    // The taps in use (all, or the cross) and the kernel size and mode they
    // were made for.
    std::vector<int> taps_;
    int taps_key_ = -1;
};

}  // namespace kx
