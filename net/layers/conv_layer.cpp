#include "net/layers/conv_layer.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <new>

#include "net/console.h"
#include "net/layers/im2col.h"
#include "net/layers/tile_product.h"
#include "net/thread_pool.h"

namespace kx {

namespace {

// The work is cut into tiles of whole output rows (and, when there are few,
// groups of output maps as well), each multiplied on its own. The input a
// tile reads is kept to about a quarter of a core's second-level cache, so
// that it is still there when the next group of maps reads it again.
constexpr size_t kTileBytes = 128 * 1024;
// Large layers are cut into at least this many row tiles, so that threads
// that finish early find work left.
constexpr int kRowTiles = 16;
// Below this many multiply-adds a layer runs on the calling thread: waking
// the workers would cost more than it saves.
constexpr double kSerialWork = 400e3;
// With few tiles the output maps are shared out too, in groups of whole
// register blocks (4 maps), so that small deep layers still spread.
constexpr int kWantedTasks = 8;
constexpr int kMapQuantum = 4;

// Output rows per tile, given the bytes of input one output row needs.
int rows_per_tile(size_t bytes_per_row, int out_h) {
    const int fit = int(std::max<size_t>(1, kTileBytes / std::max<size_t>(1, bytes_per_row)));
    return std::clamp(std::min(fit, out_h / kRowTiles), 1, out_h);
}

bool has_shape(const Blob& b, int c, int h, int w) {
    return b.data != nullptr && b.num == 1 && b.channels == c && b.height == h && b.width == w;
}

// Copies the first `channels` planes of `in` into `out` with `pad` zeros on
// every side.
void pad_planes(const float* in, int channels, int height, int width, int pad, float* out) {
    const int wp = width + 2 * pad;
    const size_t plane = size_t(height + 2 * pad) * wp;
    for (int c = 0; c < channels; ++c) {
        float* dst = out + c * plane;
        const float* src = in + size_t(c) * height * width;
        std::fill(dst, dst + size_t(pad) * wp, 0.0f);
        for (int y = 0; y < height; ++y) {
            float* row = dst + size_t(y + pad) * wp;
            std::fill(row, row + pad, 0.0f);
            std::copy(src + size_t(y) * width, src + size_t(y + 1) * width, row + pad);
            std::fill(row + pad + width, row + wp, 0.0f);
        }
        std::fill(dst + size_t(height + pad) * wp, dst + plane, 0.0f);
    }
}

}  // namespace

ConvLayer::ConvLayer(const LayerParams& params) : Layer(params), col_buffer(new Blob) {}

ConvLayer::~ConvLayer() { delete col_buffer; }

bool ConvLayer::read_shape_params() {
    if (!has_param(params, "ksize") || !has_param(params, "map_num")) return false;
    ksize = param_int(params, "ksize");
    stride = param_int_or(params, "stride", 1);
    pad = param_int_or(params, "pad", 0);
    map_num = param_int(params, "map_num");
    // A zero stride would divide by zero in the size formula, and a negative
    // pad would make im2col read before the image.
    return ksize >= 1 && stride >= 1 && pad >= 0;
}

bool ConvLayer::derive_output_size(const Blob& in) {
    // In 64 bits, so that absurd parameters are refused instead of
    // overflowing; the division truncates toward zero as in 32 bits.
    const int64_t depth = int64_t(in.channels) * ksize * ksize;
    const int64_t h = (int64_t(in.height) + 2 * int64_t(pad) - ksize) / stride + 1;
    const int64_t w = (int64_t(in.width) + 2 * int64_t(pad) - ksize) / stride + 1;
    if (depth <= 0 || depth > INT_MAX || h <= 0 || h > INT_MAX || w <= 0 || w > INT_MAX) {
        return false;
    }
    out_height = int(h);
    out_width = int(w);
    return true;
}

bool ConvLayer::setup(const BlobList& bottoms, BlobList& tops) {
    if (bottoms.size() != 1) return false;
    if (!read_shape_params()) return false;
    use_cross_conv = param_int_or(params, "use_cross_conv", 0);

    const Blob& in = *bottoms[0];
    if (!derive_output_size(in)) return false;
    if (!col_buffer->create(in.channels * ksize * ksize, out_height, out_width)) return false;

    // Kernels, then biases; both are refused together (map_num <= 0).
    if (!append_new_blob(weights, map_num, in.channels, ksize * ksize)) return false;
    if (!append_new_blob(weights, map_num, 1, 1)) return false;

    return append_new_blob(tops, map_num, out_height, out_width);
}

bool ConvLayer::reshape_top(const BlobList& bottoms, const BlobList& tops) {
    if (bottoms.size() != 1 || tops.empty() || weights.size() != 2) return false;
    if (!read_shape_params()) return false;

    // The kernels fix the channel count, the kernel size and the map count;
    // a bottom or parameters that disagree would read past them.
    const Blob& in = *bottoms[0];
    const Blob& kernels = *weights[0];
    if (in.data == nullptr || in.num < 1 || in.channels != kernels.height) return false;
    if (int64_t(ksize) * ksize != kernels.width || map_num != kernels.channels) return false;

    if (!derive_output_size(in)) return false;

    // Tiles unfold into col_buffer (see forward), which keeps its storage
    // from run to run; so does a top whose shape has not changed, since
    // fresh storage would be faulted in page by page on every run.
    if (has_shape(*tops[0], map_num, out_height, out_width)) return true;
    return tops[0]->reshape(map_num, out_height, out_width);
}

void ConvLayer::forward(const BlobList& bottoms, const BlobList& tops) {
    if (!reshape_top(bottoms, tops)) {
        say_reshape_failed();
        return;
    }
    const Blob& in = *bottoms[0];
    const bool cross = use_cross_conv != 0;
    const std::vector<int> taps = cross ? cross_taps(ksize) : square_taps(ksize);
    const int depth = in.channels * int(taps.size());
    const float* kernels = weights[0]->data;
    if (cross) {
        cross_kernels_.resize(size_t(map_num) * depth);
        pack_cross_weights(kernels, in.channels, ksize, map_num, cross_kernels_.data());
        kernels = cross_kernels_.data();
    }
    const double work = double(map_num) * out_height * out_width * depth;
    ThreadPool* pool = work >= kSerialWork ? threads : nullptr;
    if (stride == 1) {
        forward_stride_one(in, taps, kernels, pool, tops[0]->data);
    } else {
        forward_unfolded(in, taps, kernels, pool, tops[0]->data);
    }
}

ConvLayer::Tiling ConvLayer::tiling(int tile_rows) const {
    Tiling t;
    t.rows = tile_rows;
    t.tiles = (out_height + tile_rows - 1) / tile_rows;
    int groups = 1;
    if (t.tiles < kWantedTasks) {
        groups = std::min((kWantedTasks + t.tiles - 1) / t.tiles, (map_num + kMapQuantum - 1) / kMapQuantum);
    }
    t.group_maps = (map_num + groups - 1) / groups;
    t.group_maps = (t.group_maps + kMapQuantum - 1) / kMapQuantum * kMapQuantum;
    t.groups = (map_num + t.group_maps - 1) / t.group_maps;
    return t;
}

// Stride 1: the taps of output row y lie in the input rows y - pad + ky,
// shifted by kx - pad. On the zero-padded input (width wp) a tile of rows is
// then one run of (rows - 1) * wp + out_width columns per tap, read in
// place through a table of offsets; the columns between the rows (wp -
// out_width of them) are computed and dropped.
void ConvLayer::forward_stride_one(const Blob& in, const std::vector<int>& taps, const float* kernels,
                                   ThreadPool* pool, float* top) {
    const int wp = in.width + 2 * pad;
    const int hp = in.height + 2 * pad;
    const float* source = in.data;
    // The offsets below are ints.
    if (size_t(in.channels) * size_t(hp) * size_t(wp) > size_t(INT_MAX)) throw std::bad_alloc();
    if (pad > 0) {
        padded_.resize(size_t(in.channels) * hp * wp);
        float* out = padded_.data();
        const size_t plane = size_t(hp) * wp;
        parallel_for(pool, in.channels, [&](int c, int) {
            pad_planes(in.data + size_t(c) * in.height * in.width, 1, in.height, in.width, pad, out + c * plane);
        });
        source = padded_.data();
    }
    const int depth = in.channels * int(taps.size());
    offsets_.resize(size_t(depth));
    for (int c = 0, r = 0; c < in.channels; ++c) {
        for (int tap : taps) offsets_[size_t(r++)] = c * hp * wp + (tap / ksize) * wp + tap % ksize;
    }

    const size_t bytes_per_row = sizeof(float) * size_t(in.channels) * wp;
    const Tiling t = tiling(rows_per_tile(bytes_per_row, out_height));
    // Without columns to drop (1 x 1 kernels, no padding) the product
    // writes straight into the top.
    const bool in_place = wp == out_width;
    const int tile_columns = (t.rows - 1) * wp + out_width;
    const size_t scratch = size_t(t.group_maps) * tile_columns;
    if (!in_place) reserve_scratch(scratch * size_t(slot_count(pool)));

    const int spatial = out_height * out_width;
    const float* biases = weights[1]->data;
    parallel_for(pool, t.tiles * t.groups, [&](int task, int slot) {
        const int y0 = (task / t.groups) * t.rows;
        const int rows = std::min(t.rows, out_height - y0);
        const int first_map = (task % t.groups) * t.group_maps;
        const int maps = std::min(t.group_maps, map_num - first_map);
        const int columns = (rows - 1) * wp + out_width;
        const float* a = kernels + size_t(first_map) * depth;
        float* out = top + size_t(first_map) * spatial + size_t(y0) * out_width;
        if (in_place) {
            tile_product_rows(a, depth, source + size_t(y0) * wp, offsets_.data(), biases + first_map, out, spatial,
                              maps, columns, depth);
            return;
        }
        float* block = col_buffer->data + scratch * size_t(slot);
        tile_product_rows(a, depth, source + size_t(y0) * wp, offsets_.data(), biases + first_map, block,
                          tile_columns, maps, columns, depth);
        for (int m = 0; m < maps; ++m) {
            for (int r = 0; r < rows; ++r) {
                const float* from = block + size_t(m) * tile_columns + size_t(r) * wp;
                std::copy(from, from + out_width, out + size_t(m) * spatial + size_t(r) * out_width);
            }
        }
    });
}

// Other strides: each tile is unfolded into a private column block as
// im2col does, then multiplied.
void ConvLayer::forward_unfolded(const Blob& in, const std::vector<int>& taps, const float* kernels,
                                 ThreadPool* pool, float* top) {
    const int depth = in.channels * int(taps.size());
    const Tiling t = tiling(rows_per_tile(sizeof(float) * size_t(depth) * out_width, out_height));
    const size_t tile_floats = size_t(depth) * size_t(t.rows) * size_t(out_width);
    reserve_scratch(tile_floats * size_t(slot_count(pool)));

    const int spatial = out_height * out_width;
    const float* biases = weights[1]->data;
    parallel_for(pool, t.tiles * t.groups, [&](int task, int slot) {
        const int y0 = (task / t.groups) * t.rows;
        const int y1 = std::min(y0 + t.rows, out_height);
        const int columns = (y1 - y0) * out_width;
        const int first_map = (task % t.groups) * t.group_maps;
        const int maps = std::min(t.group_maps, map_num - first_map);
        float* cols = col_buffer->data + tile_floats * size_t(slot);
        unfold_rows(in.data, in.channels, in.height, in.width, ksize, pad, stride, taps, y0, y1, cols);
        tile_product(kernels + size_t(first_map) * depth, depth, cols, columns, biases + first_map,
                     top + size_t(first_map) * spatial + size_t(y0) * out_width, spatial, maps, columns, depth);
    });
}

void ConvLayer::reserve_scratch(size_t floats) {
    Blob& cols = *col_buffer;
    if (cols.data != nullptr && size_t(cols.count) >= floats) return;
    if (floats > size_t(INT_MAX)) throw std::bad_alloc();
    // One row per slot keeps the blob's dimensions small numbers.
    cols.reshape(1, 1, int(floats));
}

}  // namespace kx
