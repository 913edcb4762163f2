#include "net/layers/pool_layer.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#if defined(__AVX2__)
#include <immintrin.h>
#define KX_POOL_AVX2 1
#endif

#include "net/console.h"
#include "net/thread_pool.h"

namespace kx {

namespace {

// Window values read per pass below which the calling thread pools alone.
constexpr double kParallelWork = 256 * 1024;

}  // namespace

int pool_out_size(int size, int window, int pad, int stride) {
    const float steps = float(size - window + 2 * pad) / float(stride);
    return int(float(std::ceil(double(steps))) + 1.0f);
}

namespace {

// A select, not a branch: it compiles to a maximum instruction. Keeps
// `best` when v is not larger (NaN included), as the comparison order asks.
inline float larger(float best, float v) { return v > best ? v : best; }

// `count` whole 2 x 2 windows at stride 2 along rows r0 and r1: each output
// is larger() of -10000, r0[2x], r0[2x + 1], r1[2x], r1[2x + 1] in this
// order, as the general loop takes them; eight outputs at a time where the
// instruction set allows, with the same comparisons lane by lane.
void max_pool_2x2_row(const float* r0, const float* r1, int count, float* out) {
    int x = 0;
#if KX_POOL_AVX2
    const __m256 floor = _mm256_set1_ps(-10000.0f);
    auto take = [](__m256 best, __m256 v) { return _mm256_blendv_ps(best, v, _mm256_cmp_ps(v, best, _CMP_GT_OQ)); };
    // (even, odd) lanes of 16 consecutive values, each in input order.
    auto split = [](const float* p, __m256& even, __m256& odd) {
        const __m256 a = _mm256_loadu_ps(p), b = _mm256_loadu_ps(p + 8);
        even = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(a, b, 0x88)), 0xD8));
        odd = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(a, b, 0xDD)), 0xD8));
    };
    for (; x + 8 <= count; x += 8) {
        __m256 e0, o0, e1, o1;
        split(r0 + 2 * x, e0, o0);
        split(r1 + 2 * x, e1, o1);
        __m256 best = take(floor, e0);
        best = take(best, o0);
        best = take(best, e1);
        best = take(best, o1);
        _mm256_storeu_ps(out + x, best);
    }
#endif
    for (; x < count; ++x) {
        float best = -10000.0f;
        best = larger(best, r0[2 * x]);
        best = larger(best, r0[2 * x + 1]);
        best = larger(best, r1[2 * x]);
        best = larger(best, r1[2 * x + 1]);
        out[x] = best;
    }
}

}  // namespace

PoolLayer::PoolLayer(const LayerParams& params) : Layer(params) {}

bool PoolLayer::setup(const BlobList& bottoms, BlobList& tops) {
    if (bottoms.size() != 1) return false;
    if (!has_param(params, "ksize") || !has_param(params, "ksize_w") ||
        !has_param(params, "ksize_h")) {
        return false;
    }
    ksize = param_int(params, "ksize");
    ksize_w = param_int(params, "ksize_w");
    ksize_h = param_int(params, "ksize_h");
    if (ksize_w == 0) ksize_w = ksize;
    if (ksize_h == 0) ksize_h = ksize;
    if (ksize_w < 1 || ksize_h < 1) return false;

    stride = param_int_or(params, "stride", ksize);
    pad = param_int_or(params, "pad", 0);
    // A zero stride has no output size, and a negative pad would place
    // windows that the padding correction does not expect.
    if (stride < 1 || pad < 0) return false;
    // Keeps the window arithmetic far from 32-bit overflow.
    const int kLimit = 1 << 22;
    if (ksize_w > kLimit || ksize_h > kLimit || stride > kLimit || pad > kLimit) return false;

    if (has_param(params, "pool")) {
        pool = params.at("pool");
        if (pool != "max" && pool != "ave") return false;
    } else {
        pool = "max";
    }

    const Blob& in = *bottoms[0];
    channels = in.channels;
    out_height = pool_out_size(in.height, ksize_h, pad, stride);
    out_width = pool_out_size(in.width, ksize_w, pad, stride);
    // Keep the last window from starting inside the padding.
    if (pad > 0) {
        if ((out_height - 1) * stride >= in.height + pad) --out_height;
        if ((out_width - 1) * stride >= in.width + pad) --out_width;
    }

    return append_new_blob(tops, channels, out_height, out_width);
}

void PoolLayer::forward(const BlobList& bottoms, const BlobList& tops) {
    // The top keeps its set-up shape; refuse a bottom that holds fewer
    // channels than that shape needs (or no item at all), or a top that was
    // changed under us.
    if (bottoms.size() != 1 || tops.empty() || bottoms[0]->data == nullptr ||
        bottoms[0]->num < 1 || bottoms[0]->channels < channels || tops[0]->data == nullptr ||
        size_t(tops[0]->count) < size_t(channels) * out_height * out_width) {
        say_reshape_failed();
        return;
    }
    const Blob& in = *bottoms[0];
    const size_t plane = size_t(in.height) * in.width;
    const size_t out_plane = size_t(out_height) * out_width;
    // One task per channel when the layer is large enough to pay for the
    // threads' wake-up.
    const bool average = pool == "ave";
    const double work = double(channels) * out_plane * ksize_h * ksize_w;
    parallel_for(work >= kParallelWork ? threads : nullptr, channels, [&](int c, int) {
        const float* src = in.data + c * plane;
        float* dst = tops[0]->data + c * out_plane;
        if (average) {
            average_pool(src, in.height, in.width, dst);
        } else {
            max_pool(src, in.height, in.width, dst);
        }
    });
}

void PoolLayer::max_pool(const float* in, int height, int width, float* out) const {
    const bool two_by_two = ksize_h == 2 && ksize_w == 2 && stride == 2 && pad == 0;
    for (int oy = 0; oy < out_height; ++oy) {
        const int y_start = oy * stride - pad;
        const int y1 = std::min(y_start + ksize_h, height);
        const int y0 = std::max(y_start, 0);
        int ox = 0;
        if (two_by_two && y1 - y0 == 2) {
            // The whole windows of the row at once; a last one cut by the
            // right edge goes the general way.
            const int whole = std::min(out_width, width / 2);
            max_pool_2x2_row(in + size_t(y0) * width, in + size_t(y0 + 1) * width, whole, out);
            out += whole;
            ox = whole;
        }
        for (; ox < out_width; ++ox) {
            const int x_start = ox * stride - pad;
            const int x1 = std::min(x_start + ksize_w, width);
            const int x0 = std::max(x_start, 0);
            if (y0 >= y1 || x0 >= x1) {
                *out++ = 0.0f;
                continue;
            }
            // Starts at -10000 rather than at minus infinity: a window whose
            // values all lie at or below it yields -10000.
            float best = -10000.0f;
            if (y1 - y0 == 2 && x1 - x0 == 2) {
                // The common whole 2 x 2 window, unrolled; same order.
                const float* row = in + size_t(y0) * width + x0;
                best = larger(best, row[0]);
                best = larger(best, row[1]);
                best = larger(best, row[width]);
                best = larger(best, row[width + 1]);
            } else {
                for (int y = y0; y < y1; ++y) {
                    const float* row = in + size_t(y) * width;
                    for (int x = x0; x < x1; ++x) best = larger(best, row[x]);
                }
            }
            *out++ = best;
        }
    }
}

void PoolLayer::average_pool(const float* in, int height, int width, float* out) const {
    for (int oy = 0; oy < out_height; ++oy) {
        const int y0 = oy * stride - pad;
        const int y1 = std::min(y0 + ksize_h, height + pad);
        for (int ox = 0; ox < out_width; ++ox) {
            const int x0 = ox * stride - pad;
            const int x1 = std::min(x0 + ksize_w, width + pad);
            // The divisor counts the padding positions the window covers.
            // In 64 bits: a window of 2^22 x 2^22 positions wraps an int.
            const int64_t size = int64_t(y1 - y0) * (x1 - x0);
            const int cy0 = std::max(y0, 0), cy1 = std::min(y1, height);
            const int cx0 = std::max(x0, 0), cx1 = std::min(x1, width);
            if (cy0 >= cy1 || cx0 >= cx1) {
                // No input value under the window (it lies wholly beyond the
                // bottom); write 0 as maximum pooling does rather than 0 / 0.
                *out++ = 0.0f;
                continue;
            }
            float sum = 0.0f;
            for (int y = cy0; y < cy1; ++y) {
                const float* row = in + size_t(y) * width;
                for (int x = cx0; x < cx1; ++x) sum += row[x];
            }
            *out++ = sum / float(size);
        }
    }
}

}  // namespace kx
