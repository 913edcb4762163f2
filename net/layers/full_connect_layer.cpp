#include "net/layers/full_connect_layer.h"

#include <algorithm>
#include <cstddef>

#if defined(__AVX2__)
#include <immintrin.h>
#define KX_FULL_CONNECT_AVX2 1
#endif

#include "net/console.h"
#include "net/layers/tile_product.h"
#include "net/thread_pool.h"

namespace kx {

namespace {

// Multiply-adds of one item below which the calling thread works alone.
constexpr double kParallelWork = 256 * 1024;

#if KX_FULL_CONNECT_AVX2

// r[t] becomes the column t of the 8 x 8 block whose rows r held.
inline void transpose8(__m256 r[8]) {
    const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
    const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
    const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
    const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
    const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
    const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    r[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
    r[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
    r[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
    r[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
    r[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
    r[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
    r[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
    r[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

// Outputs [o, o + 8 G) of one item, each summed as the scalar loop sums it
// (bias, then one rounded product after the other, in input order): the
// rows are read 8 inputs at a time and turned so that one vector holds 8
// outputs' weights of one input. G blocks side by side keep G sums in
// flight.
template <int G>
void outputs_by_vectors(const float* x, const float* matrix, const float* biases, int depth, int o, float* y) {
    __m256 acc[G];
    for (int g = 0; g < G; ++g) acc[g] = _mm256_loadu_ps(biases + o + 8 * g);
    int k = 0;
    for (; k + 8 <= depth; k += 8) {
        for (int g = 0; g < G; ++g) {
            __m256 w[8];
            for (int j = 0; j < 8; ++j) w[j] = _mm256_loadu_ps(matrix + size_t(o + 8 * g + j) * depth + k);
            transpose8(w);
            for (int t = 0; t < 8; ++t) acc[g] = _mm256_add_ps(acc[g], _mm256_mul_ps(_mm256_set1_ps(x[k + t]), w[t]));
        }
    }
    for (; k < depth; ++k) {
        const __m256 v = _mm256_set1_ps(x[k]);
        for (int g = 0; g < G; ++g) {
            float w[8];
            for (int j = 0; j < 8; ++j) w[j] = matrix[size_t(o + 8 * g + j) * depth + k];
            acc[g] = _mm256_add_ps(acc[g], _mm256_mul_ps(v, _mm256_loadu_ps(w)));
        }
    }
    for (int g = 0; g < G; ++g) _mm256_storeu_ps(y + o + 8 * g, acc[g]);
}

#endif

}  // namespace

FullConnectLayer::FullConnectLayer(const LayerParams& params) : Layer(params) {}

bool FullConnectLayer::setup(const BlobList& bottoms, BlobList& tops) {
    if (bottoms.size() != 1 || !has_param(params, "node_num")) return false;
    node_num = param_int(params, "node_num");
    top_height = 1;
    top_width = 1;
    item_count = 1;

    // Weight matrix, then biases; both are refused together (node_num <= 0).
    if (!append_new_blob(weights, node_num, bottoms[0]->count, 1)) return false;
    if (!append_new_blob(weights, node_num, 1, 1)) return false;

    return append_new_blob(tops, node_num, 1, 1);
}

bool FullConnectLayer::reshape_top(const BlobList& bottoms, const BlobList& tops) {
    if (bottoms.size() != 1 || tops.empty() || weights.size() != 2) return false;
    if (!has_param(params, "node_num")) return false;
    node_num = param_int(params, "node_num");

    // Every item must be exactly as wide as the weight matrix, and the
    // matrix must have the rows the parameters name.
    const Blob& in = *bottoms[0];
    if (in.data == nullptr || in.num < 1 || node_num != weights[0]->channels) return false;
    if (in.count / in.num != weights[0]->height) return false;

    top_height = 1;
    top_width = 1;
    item_count = in.num;
    return reshape_if_changed(*tops[0], node_num, 1, 1, in.num);
}

void FullConnectLayer::forward(const BlobList& bottoms, const BlobList& tops) {
    if (!reshape_top(bottoms, tops)) {
        say_reshape_failed();
        return;
    }
    if (item_count <= 1) {
        forward_one(bottoms[0]->data, tops[0]->data);
    } else {
        forward_many(bottoms[0]->data, item_count, tops[0]->data);
    }
}

// One item, summed exactly as bias + x[0] * w[0] + x[1] * w[1] + ... in
// 32-bit floats, one product at a time: the result is fixed to the last bit.
// Several outputs are worked on together only so that their independent sums
// overlap in the pipeline; each keeps its own order, so the outputs can also
// be shared out on the threads in blocks without changing a bit.
void FullConnectLayer::forward_one(const float* x, float* y) const {
    const int depth = weights[0]->height;
    constexpr int kBlock = 32;  // outputs per task, a multiple of the lanes
    const int blocks = (node_num + kBlock - 1) / kBlock;
    const bool pays = double(node_num) * depth >= kParallelWork && blocks > 1;
    parallel_for(pays ? threads : nullptr, blocks, [&](int block, int) {
        forward_outputs(x, y, block * kBlock, std::min(node_num, (block + 1) * kBlock));
    });
}

void FullConnectLayer::forward_outputs(const float* x, float* y, int first, int last) const {
    const int depth = weights[0]->height;
    const float* matrix = weights[0]->data;
    const float* biases = weights[1]->data;
    constexpr int kLanes = 8;

    int o = first;
#if KX_FULL_CONNECT_AVX2
    for (; o + 2 * kLanes <= last; o += 2 * kLanes) outputs_by_vectors<2>(x, matrix, biases, depth, o, y);
    for (; o + kLanes <= last; o += kLanes) outputs_by_vectors<1>(x, matrix, biases, depth, o, y);
#endif
    for (; o + kLanes <= last; o += kLanes) {
        const float* rows = matrix + size_t(o) * depth;
        float acc[kLanes];
        for (int j = 0; j < kLanes; ++j) acc[j] = biases[o + j];
        for (int k = 0; k < depth; ++k) {
            const float v = x[k];
            for (int j = 0; j < kLanes; ++j) {
                const float product = v * rows[size_t(j) * depth + k];
                acc[j] = acc[j] + product;
            }
        }
        for (int j = 0; j < kLanes; ++j) y[o + j] = acc[j];
    }
    for (; o < last; ++o) {
        const float* row = matrix + size_t(o) * depth;
        float acc = biases[o];
        for (int k = 0; k < depth; ++k) {
            const float product = x[k] * row[k];
            acc = acc + product;
        }
        y[o] = acc;
    }
}

void FullConnectLayer::forward_many(const float* x, int items, float* y) {
    const int depth = weights[0]->height;
    items_t_.resize(size_t(depth) * items);
    outputs_t_.resize(size_t(node_num) * items);
    float* xt = items_t_.data();
    float* yt = outputs_t_.data();
    constexpr int kBlock = 32;  // outputs per task, a multiple of the row block
    const int blocks = (node_num + kBlock - 1) / kBlock;
    const bool pays = double(node_num) * depth * items >= kParallelWork && blocks > 1;
    ThreadPool* pool = pays ? threads : nullptr;
    // The items turned into columns, a span of inputs per task: on one
    // thread this pass would stand beside the shared product.
    constexpr int kInputSpan = 64;
    parallel_for(pool, (depth + kInputSpan - 1) / kInputSpan, [&](int span, int) {
        const int k_end = std::min(depth, (span + 1) * kInputSpan);
        for (int n = 0; n < items; ++n) {
            for (int k = span * kInputSpan; k < k_end; ++k) xt[size_t(k) * items + n] = x[size_t(n) * depth + k];
        }
    });
    const float* matrix = weights[0]->data;
    const float* biases = weights[1]->data;
    parallel_for(pool, blocks, [&](int block, int) {
        const int first = block * kBlock;
        const int count = std::min(kBlock, node_num - first);
        tile_product(matrix + size_t(first) * depth, depth, xt, items, biases + first, yt + size_t(first) * items,
                     items, count, items, depth);
        // Each task turns its own outputs back into rows of items.
        for (int n = 0; n < items; ++n) {
            for (int o = first; o < first + count; ++o) y[size_t(n) * node_num + o] = yt[size_t(o) * items + n];
        }
    });
}

}  // namespace kx
