#pragma once
#include <vector>

namespace kx {

// Unfolding of one image (channels x height x width floats) into the column
// matrix that turns a convolution into one matrix product. Column
// n = oy * out_width + ox is output position (oy, ox); a row stands for one
// input channel and one kernel tap (ky, kx) and holds the input value at
// y = oy * stride - pad + ky, x = ox * stride - pad + kx, or 0 outside the
// image. The output size is (size + 2 * pad - ksize) / stride + 1 per side.
// Callers guarantee stride >= 1, pad >= 0 and positive output sizes.

// Output size of one side, with truncating integer division.
int conv_out_size(int size, int ksize, int pad, int stride);

// All ksize * ksize taps: row (c * ksize + ky) * ksize + kx.
void im2col(const float* input, int channels, int height, int width, int ksize, int pad,
            int stride, float* output);

// The taps of the cross-shaped kernel, as positions ky * ksize + kx in the
// stored square kernel: every (ky, kx) with ky or kx equal to the centre
// (ksize - 1) / 2, ky ascending, then kx ascending. 2 * ksize - 1 taps.
std::vector<int> cross_taps(int ksize);

// Only the cross taps: row c * T + t for channel c and the t-th cross tap,
// T = 2 * ksize - 1.
void cross_im2col(const float* input, int channels, int height, int width, int ksize, int pad,
                  int stride, float* output);

// Gathers the cross taps of every stored square kernel (map_num x channels x
// ksize * ksize) into a map_num x (channels * T) row-major matrix whose
// columns match the rows of cross_im2col.
// Every tap of the square kernel in stored order: 0 .. ksize * ksize - 1.
std::vector<int> square_taps(int ksize);

// The rows of the given taps (positions ky * ksize + kx) for output rows
// [first_row, last_row) only: row c * taps.size() + t, each of
// (last_row - first_row) * out_width values. im2col is this with
// square_taps over all output rows, cross_im2col with cross_taps.
void unfold_rows(const float* input, int channels, int height, int width, int ksize, int pad, int stride,
                 const std::vector<int>& taps, int first_row, int last_row, float* output);

// Row r = c * taps.size() + t of unfold_rows over every output row: one
// channel and tap alone, so that rows can be shared out on threads.
void unfold_row(const float* input, int height, int width, int ksize, int pad, int stride,
                const std::vector<int>& taps, int r, float* output);

void pack_cross_weights(const float* kernels, int channels, int ksize, int map_num,
                        float* output);

}  // namespace kx
