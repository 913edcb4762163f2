#include "net/layers/im2col.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace kx {

namespace {

// Range [lo, hi) of output positions whose input coordinate
// o * stride - pad + k lies inside 0..size-1. Outside it the column value is
// padding.
struct ValidRange {
    int lo;
    int hi;
};

// In 64 bits: with a stride or pad near the int range the sums below would
// wrap in 32.
ValidRange valid_outputs(int k, int pad, int stride, int size, int out_size) {
    const int64_t first = int64_t(k) - pad;  // input coordinate of output 0
    int64_t lo = first >= 0 ? 0 : (-first + stride - 1) / stride;
    int64_t hi = 0;
    if (size - 1 - first >= 0) hi = (size - 1 - first) / stride + 1;
    lo = std::min<int64_t>(lo, out_size);
    hi = std::max<int64_t>(lo, std::min<int64_t>(hi, out_size));
    return {int(lo), int(hi)};
}

// Writes one (channel, tap) row for output rows [y_first, y_last): the
// (y_last - y_first) x out_w values of those positions, consecutively.
void fill_row(const float* plane, int height, int width, int ky, int kx, int pad, int stride,
              int out_h, int out_w, int y_first, int y_last, float* row) {
    const ValidRange all_ys = valid_outputs(ky, pad, stride, height, out_h);
    const ValidRange ys = {std::clamp(all_ys.lo, y_first, y_last), std::clamp(all_ys.hi, y_first, y_last)};
    const ValidRange xs = valid_outputs(kx, pad, stride, width, out_w);
    const int inner = xs.hi - xs.lo;

    std::fill(row, row + size_t(ys.lo - y_first) * out_w, 0.0f);
    for (int oy = ys.lo; oy < ys.hi; ++oy) {
        float* out = row + size_t(oy - y_first) * out_w;
        std::fill(out, out + xs.lo, 0.0f);
        // A tap may reach no column of the image at all; its first input
        // column then lies outside the plane and must not even be addressed.
        if (inner > 0) {
            const int64_t y = int64_t(oy) * stride - pad + ky;  // inside the image
            const int64_t x = int64_t(xs.lo) * stride - pad + kx;
            const float* src = plane + size_t(y) * size_t(width) + size_t(x);
            if (stride == 1) {
                std::memcpy(out + xs.lo, src, sizeof(float) * size_t(inner));
            } else {
                float* dst = out + xs.lo;
                for (int i = 0; i < inner; ++i) dst[i] = src[size_t(i) * stride];
            }
        }
        std::fill(out + xs.hi, out + out_w, 0.0f);
    }
    std::fill(row + size_t(ys.hi - y_first) * out_w, row + size_t(y_last - y_first) * out_w, 0.0f);
}

}  // namespace

int conv_out_size(int size, int ksize, int pad, int stride) {
    return int((int64_t(size) + 2 * int64_t(pad) - ksize) / stride + 1);
}

void im2col(const float* input, int channels, int height, int width, int ksize, int pad,
            int stride, float* output) {
    const int out_h = conv_out_size(height, ksize, pad, stride);
    unfold_rows(input, channels, height, width, ksize, pad, stride, square_taps(ksize), 0, out_h, output);
}

std::vector<int> square_taps(int ksize) {
    std::vector<int> taps(size_t(ksize) * size_t(ksize));
    for (size_t t = 0; t < taps.size(); ++t) taps[t] = int(t);
    return taps;
}

std::vector<int> cross_taps(int ksize) {
    const int centre = (ksize - 1) / 2;
    std::vector<int> taps;
    for (int ky = 0; ky < ksize; ++ky) {
        for (int kx = 0; kx < ksize; ++kx) {
            if (ky == centre || kx == centre) taps.push_back(ky * ksize + kx);
        }
    }
    return taps;
}

void cross_im2col(const float* input, int channels, int height, int width, int ksize, int pad,
                  int stride, float* output) {
    const int out_h = conv_out_size(height, ksize, pad, stride);
    unfold_rows(input, channels, height, width, ksize, pad, stride, cross_taps(ksize), 0, out_h, output);
}

void unfold_rows(const float* input, int channels, int height, int width, int ksize, int pad, int stride,
                 const std::vector<int>& taps, int first_row, int last_row, float* output) {
    const int out_h = conv_out_size(height, ksize, pad, stride);
    const int out_w = conv_out_size(width, ksize, pad, stride);
    const size_t plane = size_t(height) * width;
    const size_t row_len = size_t(last_row - first_row) * out_w;
    for (int c = 0; c < channels; ++c) {
        for (int tap : taps) {
            fill_row(input + c * plane, height, width, tap / ksize, tap % ksize, pad, stride, out_h, out_w,
                     first_row, last_row, output);
            output += row_len;
        }
    }
}

void unfold_row(const float* input, int height, int width, int ksize, int pad, int stride,
                const std::vector<int>& taps, int r, float* output) {
    const int out_h = conv_out_size(height, ksize, pad, stride);
    const int out_w = conv_out_size(width, ksize, pad, stride);
    const size_t plane = size_t(height) * width;
    const int count = int(taps.size());
    const int tap = taps[size_t(r % count)];
    fill_row(input + size_t(r / count) * plane, height, width, tap / ksize, tap % ksize, pad, stride, out_h, out_w,
             0, out_h, output + size_t(r) * out_h * out_w);
}

void pack_cross_weights(const float* kernels, int channels, int ksize, int map_num,
                        float* output) {
    const std::vector<int> taps = cross_taps(ksize);
    const size_t kernel_len = size_t(ksize) * ksize;
    for (int m = 0; m < map_num; ++m) {
        for (int c = 0; c < channels; ++c) {
            const float* kernel = kernels + (size_t(m) * channels + c) * kernel_len;
            for (int tap : taps) *output++ = kernel[tap];
        }
    }
}

}  // namespace kx
