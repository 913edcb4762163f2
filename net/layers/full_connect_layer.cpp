#include "net/layers/full_connect_layer.h"

#include <algorithm>

#include "net/console.h"
#include "net/layers/tile_product.h"
#include "net/thread_pool.h"

namespace kx {

namespace {

// Multiply-adds of one item below which the calling thread works alone.
constexpr double kParallelWork = 256 * 1024;

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
    if (in.num < 2) return tops[0]->reshape(node_num, 1, 1);
    return tops[0]->reshape(node_num, 1, 1, in.num);
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
    for (int n = 0; n < items; ++n) {
        for (int k = 0; k < depth; ++k) xt[size_t(k) * items + n] = x[size_t(n) * depth + k];
    }
    constexpr int kBlock = 32;  // outputs per task, a multiple of the row block
    const int blocks = (node_num + kBlock - 1) / kBlock;
    const bool pays = double(node_num) * depth * items >= kParallelWork && blocks > 1;
    const float* matrix = weights[0]->data;
    const float* biases = weights[1]->data;
    parallel_for(pays ? threads : nullptr, blocks, [&](int block, int) {
        const int first = block * kBlock;
        const int count = std::min(kBlock, node_num - first);
        tile_product(matrix + size_t(first) * depth, depth, xt, items, biases + first, yt + size_t(first) * items,
                     items, count, items, depth);
    });
    for (int n = 0; n < items; ++n) {
        for (int o = 0; o < node_num; ++o) y[size_t(n) * node_num + o] = yt[size_t(o) * items + n];
    }
}

}  // namespace kx
