#include "net/layers/conv_layer.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <new>

#if defined(__AVX2__)
#include <immintrin.h>
#endif

#include "net/console.h"
#include "net/layers/im2col.h"
#include "net/layers/relu_layer.h"
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

// A tile narrower than a few register blocks spends its time starting and
// ending them.
constexpr int kMinTileColumns = 96;

// Output rows per tile, given the bytes of input one output row needs and
// the width of the rows the product reads (wq >= out_w: a tile of r rows is
// (r - 1) * wq + out_w columns). From the smallest count that suits the
// cache and the threads, up to twice that, the count whose columns waste
// the least of their last register block (a block of a few columns costs
// nearly as much as a whole one).
int rows_per_tile(size_t bytes_per_row, int out_h, int out_w, int wq) {
    const int fit = int(std::max<size_t>(1, kTileBytes / std::max<size_t>(1, bytes_per_row)));
    const int wide_enough = (kMinTileColumns + out_w - 1) / out_w;
    const int base = std::clamp(std::min(fit, std::max(out_h / kRowTiles, wide_enough)), 1, out_h);
    const double block = tile_product_columns();
    auto waste = [&](int rows) {
        const double columns = double(rows - 1) * wq + out_w;
        return std::ceil(columns / block) * block / columns;
    };
    int best = base;
    for (int rows = base + 1; rows <= std::min({2 * base, fit, out_h}); ++rows) {
        if (waste(rows) < waste(best) - 1e-9) best = rows;
    }
    return best;
}

void rectify_in_place(float* __restrict v, int n) {
    for (int i = 0; i < n; ++i) v[i] = rectified(v[i]);
}

void copy_rectified(const float* __restrict from, int n, float* __restrict to) {
    for (int i = 0; i < n; ++i) to[i] = rectified(from[i]);
}

// out[px * step + j] = row[j * S + px] for px < S, j < n: one input row
// dealt out to its S phase rows. A fixed S lets the compiler vectorise the
// loop.
template <int S>
void deal_row(const float* __restrict row, int n, float* out, size_t step) {
    float* __restrict o[S];
    for (int px = 0; px < S; ++px) o[px] = out + px * step;
    for (int j = 0; j < n; ++j) {
        for (int px = 0; px < S; ++px) o[px][j] = row[j * S + px];
    }
}

#if defined(__AVX2__)
// Stride 2, eight pairs at a time: the even and the odd values of sixteen
// picked out by two shuffles and put back in order.
void deal_pairs(const float* __restrict row, int n, float* out, size_t step) {
    float* __restrict even = out;
    float* __restrict odd = out + step;
    int j = 0;
    for (; j + 8 <= n; j += 8) {
        const __m256 a = _mm256_loadu_ps(row + 2 * j);
        const __m256 b = _mm256_loadu_ps(row + 2 * j + 8);
        const __m256 e = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
        const __m256 o = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
        _mm256_storeu_ps(even + j, _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(e), 0xD8)));
        _mm256_storeu_ps(odd + j, _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(o), 0xD8)));
    }
    for (; j < n; ++j) {
        even[j] = row[2 * j];
        odd[j] = row[2 * j + 1];
    }
}

// Stride 4, eight quadruples at a time: each 128-bit lane of four loads is
// one quadruple; a 4 x 4 transpose per lane gathers every phase's values of
// quadruples 0, 2, 4, 6 in the low lanes and 1, 3, 5, 7 in the high ones,
// and one permutation puts them in order.
void deal_quads(const float* __restrict row, int n, float* out, size_t step) {
    float* __restrict o0 = out;
    float* __restrict o1 = out + step;
    float* __restrict o2 = out + 2 * step;
    float* __restrict o3 = out + 3 * step;
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    int j = 0;
    for (; j + 8 <= n; j += 8) {
        const float* r = row + 4 * j;
        const __m256 a = _mm256_loadu_ps(r);
        const __m256 b = _mm256_loadu_ps(r + 8);
        const __m256 c = _mm256_loadu_ps(r + 16);
        const __m256 d = _mm256_loadu_ps(r + 24);
        const __m256 ab_lo = _mm256_unpacklo_ps(a, b), ab_hi = _mm256_unpackhi_ps(a, b);
        const __m256 cd_lo = _mm256_unpacklo_ps(c, d), cd_hi = _mm256_unpackhi_ps(c, d);
        const __m256 p0 = _mm256_shuffle_ps(ab_lo, cd_lo, _MM_SHUFFLE(1, 0, 1, 0));
        const __m256 p1 = _mm256_shuffle_ps(ab_lo, cd_lo, _MM_SHUFFLE(3, 2, 3, 2));
        const __m256 p2 = _mm256_shuffle_ps(ab_hi, cd_hi, _MM_SHUFFLE(1, 0, 1, 0));
        const __m256 p3 = _mm256_shuffle_ps(ab_hi, cd_hi, _MM_SHUFFLE(3, 2, 3, 2));
        _mm256_storeu_ps(o0 + j, _mm256_permutevar8x32_ps(p0, order));
        _mm256_storeu_ps(o1 + j, _mm256_permutevar8x32_ps(p1, order));
        _mm256_storeu_ps(o2 + j, _mm256_permutevar8x32_ps(p2, order));
        _mm256_storeu_ps(o3 + j, _mm256_permutevar8x32_ps(p3, order));
    }
    for (; j < n; ++j) {
        o0[j] = row[4 * j];
        o1[j] = row[4 * j + 1];
        o2[j] = row[4 * j + 2];
        o3[j] = row[4 * j + 3];
    }
}
#endif

// Strides of 2 and more: stride 1 has no phases to deal (see pad_rows).
void deal_row(const float* row, int stride, int n, float* out, size_t step) {
    switch (stride) {
#if defined(__AVX2__)
        case 2: deal_pairs(row, n, out, step); break;
#else
        case 2: deal_row<2>(row, n, out, step); break;
#endif
#if defined(__AVX2__)
        case 4: deal_quads(row, n, out, step); break;
#else
        case 4: deal_row<4>(row, n, out, step); break;
#endif
        default:
            for (int px = 0; px < stride; ++px)
                for (int j = 0; j < n; ++j) out[px * step + j] = row[size_t(j) * stride + size_t(px)];
    }
}

// Rows [i0, i1) of the zero-padded copy of one channel, rows of wq values,
// row i0 at `out`: with stride 1 the one phase plane is the padded input
// itself.
void pad_rows(const float* plane, int height, int width, int pad, int i0, int i1, int wq, float* out) {
    const int copied = std::max(0, std::min(width, wq - pad));
    for (int i = i0; i < i1; ++i) {
        float* row = out + size_t(i - i0) * wq;
        const int y = i - pad;
        if (y < 0 || y >= height) {
            std::fill(row, row + wq, 0.0f);
            continue;
        }
        std::fill(row, row + std::min(pad, wq), 0.0f);
        std::copy(plane + size_t(y) * width, plane + size_t(y) * width + copied, row + pad);
        if (pad + copied < wq) std::fill(row + pad + copied, row + wq, 0.0f);
    }
}

// Rows [i0, i1) of the phase rows py of one channel: phase (py, px) row i
// holds the padded input row i * stride + py, columns px, px + stride, ...;
// planes of `phase_plane` floats in rows of wq, phase (py, px) at
// out + (py * stride + px) * phase_plane, `out` holding row i0.
// `padded` is a scratch row of wq * stride floats.
void split_phase_rows(const float* plane, int height, int width, int pad, int stride, int py, int i0, int i1,
                      size_t phase_plane, int wq, float* out, float* padded) {
    if (stride == 1) {
        pad_rows(plane, height, width, pad, i0, i1, wq, out);
        return;
    }
    const int row_length = wq * stride;
    std::fill(padded, padded + row_length, 0.0f);
    for (int i = i0; i < i1; ++i) {
        // Phase (py, 0) row i; phase (py, px) is px planes further on.
        float* first = out + size_t(py * stride) * phase_plane + size_t(i - i0) * wq;
        const int y = i * stride + py - pad;
        if (y < 0 || y >= height) {
            for (int px = 0; px < stride; ++px) {
                std::fill(first + px * phase_plane, first + px * phase_plane + wq, 0.0f);
            }
            continue;
        }
        const float* row = plane + size_t(y) * width;
        if (pad == 0 && width >= row_length) {
            // The input row holds every value the phases take: no copy.
            deal_row(row, stride, wq, first, phase_plane);
            continue;
        }
        // The padding columns of `padded` stay zero from row to row.
        const int copied = std::min(width, row_length - pad);
        std::copy(row, row + copied, padded + pad);
        deal_row(padded, stride, wq, first, phase_plane);
    }
}

// Phase rows [i0, i1) of every channel of `in` (all stride phases), `out`
// holding row i0 of channel 0's first phase; channel planes follow each
// other, stride * stride phases of `phase_plane` floats each.
void split_all_channels(const Blob& in, int pad, int stride, int i0, int i1, size_t phase_plane, int wq, float* out,
                        float* padded) {
    const size_t channel = size_t(stride) * size_t(stride) * phase_plane;
    for (int c = 0; c < in.channels; ++c) {
        for (int py = 0; py < stride; ++py) {
            split_phase_rows(in.data + size_t(c) * in.height * in.width, in.height, in.width, pad, stride, py, i0, i1,
                             phase_plane, wq, out + size_t(c) * channel, padded);
        }
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
    int64_t depth = 0;
    if (__builtin_mul_overflow(int64_t(in.channels), int64_t(ksize), &depth) ||
        __builtin_mul_overflow(depth, int64_t(ksize), &depth)) {
        return false;
    }
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

    // A top whose shape has not changed keeps its storage, as the scratch
    // memory of forward does.
    return reshape_if_changed(*tops[0], map_num, out_height, out_width);
}

void ConvLayer::forward(const BlobList& bottoms, const BlobList& tops) {
    if (!reshape_top(bottoms, tops)) {
        say_reshape_failed();
        return;
    }
    const Blob& in = *bottoms[0];
    const bool cross = use_cross_conv != 0;
    const int taps_key = 2 * ksize + (cross ? 1 : 0);
    if (taps_key != taps_key_) {
        taps_ = cross ? cross_taps(ksize) : square_taps(ksize);
        taps_key_ = taps_key;
    }
    const std::vector<int>& taps = taps_;
    const int depth = in.channels * int(taps.size());
    const float* kernels = weights[0]->data;
    if (cross) {
        cross_kernels_.resize(size_t(map_num) * depth);
        pack_cross_weights(kernels, in.channels, ksize, map_num, cross_kernels_.data());
        kernels = cross_kernels_.data();
    }
    const double work = double(map_num) * out_height * out_width * depth;
    forward_tiles(in, taps, kernels, work >= kSerialWork ? threads : nullptr, tops[0]->data);
}

ConvLayer::Tiling ConvLayer::tiling(int tile_rows, bool threaded) const {
    Tiling t;
    t.rows = tile_rows;
    t.tiles = (out_height + tile_rows - 1) / tile_rows;
    int groups = 1;
    // Map groups only give threads something to share: on one thread each
    // group would read (and pad) the tile's inputs once more for nothing.
    if (threaded && t.tiles < kWantedTasks) {
        groups = std::min((kWantedTasks + t.tiles - 1) / t.tiles, (map_num + kMapQuantum - 1) / kMapQuantum);
    }
    t.group_maps = (map_num + groups - 1) / groups;
    t.group_maps = (t.group_maps + kMapQuantum - 1) / kMapQuantum * kMapQuantum;
    t.groups = (map_num + t.group_maps - 1) / t.group_maps;
    return t;
}

ConvLayer::Tiling ConvLayer::tiling_for(size_t row_floats, int wq, const ThreadPool* pool) const {
    return tiling(rows_per_tile(sizeof(float) * row_floats, out_height, out_width, wq), slot_count(pool) > 1);
}

// The input, zero-padded, is split into stride x stride phase planes per
// channel: phase (py, px) holds the padded values at rows py, py + stride,
// ... and columns px, px + stride, .... Tap (ky, kx) of output (y, x) is
// then value (y + ky / stride, x + kx / stride) of phase (ky % stride,
// kx % stride): on planes of width wq, a tile of output rows is one run of
// (rows - 1) * wq + out_width columns per tap, read in place through a table
// of offsets. The columns between the rows (wq - out_width of them) are
// computed and dropped. With stride 1 and no padding the input itself is
// the one phase; otherwise each tile's task splits the rows it reads itself
// (see own_rows below).
void ConvLayer::forward_tiles(const Blob& in, const std::vector<int>& taps, const float* kernels, ThreadPool* pool,
                              float* top) {
    const int depth = in.channels * int(taps.size());
    const float* source = in.data;
    // Floats in a phase plane: the whole padded input's, or with own_rows a
    // task's, its tile's rows and `reach` rows more; the tasks' planes lie
    // own_stride floats apart from slot to slot.
    bool own_rows = false;
    int reach = 0;
    size_t plane = 0, own_stride = 0, row_stride = 0;
    int wq = out_width;  // width of the rows the product reads
    // Tiles of output rows (and groups of maps) shared out on the threads;
    // with own_rows a task's planes hold exactly its tile's rows.
    Tiling t;
    offsets_.resize(size_t(depth));
    if (stride > ksize) {
        // No tap reaches most of the stride x stride phases: unfold the taps
        // into columns (one row per channel and tap, out_height x out_width
        // values each) instead of splitting the whole input.
        const size_t spatial = size_t(out_height) * size_t(out_width);
        if (size_t(depth) * spatial > size_t(INT_MAX)) throw std::bad_alloc();
        reserve_scratch(size_t(depth) * spatial);
        float* columns = col_buffer->data;
        parallel_for(pool, depth, [&](int r, int) {
            unfold_row(in.data, in.height, in.width, ksize, pad, stride, taps, r, columns);
        });
        source = col_buffer->data;
        for (int r = 0; r < depth; ++r) offsets_[size_t(r)] = int(size_t(r) * spatial);
        t = tiling_for(size_t(depth) * size_t(out_width), wq, pool);
    } else {
        const int phases = stride * stride;  // stride <= ksize, whose square fits an int
        const int64_t hq = (int64_t(in.height) + 2 * int64_t(pad) + stride - 1) / stride;
        const int64_t wq_wide = (int64_t(in.width) + 2 * int64_t(pad) + stride - 1) / stride;
        // The offsets below are ints.
        if (double(in.channels) * phases * double(hq) * double(wq_wide) > double(INT_MAX)) throw std::bad_alloc();
        wq = int(wq_wide);
        plane = size_t(hq) * size_t(wq);
        t = tiling_for(size_t(in.channels) * phases * size_t(wq), wq, pool);
        if (phases > 1 || pad > 0) {
            row_stride = slot_stride(size_t(wq) * stride);
            row_scratch_.resize(size_t(slot_count(pool)) * row_stride);
            own_rows = t.groups == 1;
            if (own_rows) {
                // Each task splits the rows its tile reads (the kernel's
                // reach below them included) into its slot's own planes, and
                // the offsets below are into those: no pass over the whole
                // input before the products, and the rows are read from the
                // core's cache right after they were written there. Tiles
                // shared out by map groups would split their rows once per
                // group, so they keep the pass.
                reach = (ksize - 1) / stride;
                plane = size_t(t.rows + reach) * size_t(wq);
                own_stride = slot_stride(size_t(in.channels) * phases * plane);
                phases_.resize(own_stride * size_t(slot_count(pool)));
            } else {
                phases_.resize(size_t(in.channels) * phases * plane);
                // In bands of phase rows, one per tile of output rows (the
                // last band takes the rows after the last tile's): the thread
                // that multiplies a tile has mostly prepared its inputs
                // itself, from the rows of the previous layer that it wrote.
                float* out = phases_.data();
                parallel_for(pool, t.tiles, [&](int band, int slot) {
                    const int i0 = band * t.rows;
                    const int i1 = band + 1 == t.tiles ? int(hq) : std::min(int(hq), i0 + t.rows);
                    split_all_channels(in, pad, stride, i0, i1, plane, wq, out + size_t(i0) * wq,
                                       row_scratch_.data() + size_t(slot) * row_stride);
                });
                source = phases_.data();
            }
        }
        for (int c = 0, r = 0; c < in.channels; ++c) {
            for (int tap : taps) {
                const int ky = tap / ksize, kx = tap % ksize;
                const int q = c * phases + (ky % stride) * stride + kx % stride;
                offsets_[size_t(r++)] = int(size_t(q) * plane) + (ky / stride) * wq + kx / stride;
            }
        }
    }

    // Without columns to drop (1 x 1 kernels, stride 1, no padding) the
    // product writes straight into the top.
    const bool in_place = wq == out_width;
    const int tile_columns = (t.rows - 1) * wq + out_width;
    const size_t scratch = size_t(t.group_maps) * tile_columns;
    const size_t block_stride = slot_stride(scratch);
    if (!in_place) reserve_scratch(block_stride * size_t(slot_count(pool)));

    const int spatial = out_height * out_width;
    const float* biases = weights[1]->data;
    parallel_for(pool, t.tiles * t.groups, [&](int task, int slot) {
        const int y0 = (task / t.groups) * t.rows;
        const int rows = std::min(t.rows, out_height - y0);
        const int first_map = (task % t.groups) * t.group_maps;
        const int maps = std::min(t.group_maps, map_num - first_map);
        const int columns = (rows - 1) * wq + out_width;
        const float* a = kernels + size_t(first_map) * depth;
        const float* b = nullptr;
        if (own_rows) {
            float* mine = phases_.data() + own_stride * size_t(slot);
            split_all_channels(in, pad, stride, y0, y0 + rows + reach, plane, wq, mine,
                               row_scratch_.data() + size_t(slot) * row_stride);
            b = mine;
        } else {
            b = source + size_t(y0) * wq;
        }
        float* out = top + size_t(first_map) * spatial + size_t(y0) * out_width;
        if (in_place) {
            tile_product_rows(a, depth, b, offsets_.data(), biases + first_map, out, spatial, maps, columns, depth);
            if (rectify_output) {
                for (int m = 0; m < maps; ++m) rectify_in_place(out + size_t(m) * spatial, columns);
            }
            return;
        }
        float* block = col_buffer->data + block_stride * size_t(slot);
        tile_product_rows(a, depth, b, offsets_.data(), biases + first_map, block, tile_columns, maps, columns,
                          depth);
        for (int m = 0; m < maps; ++m) {
            for (int r = 0; r < rows; ++r) {
                const float* from = block + size_t(m) * tile_columns + size_t(r) * wq;
                float* to = out + size_t(m) * spatial + size_t(r) * out_width;
                if (rectify_output) {
                    copy_rectified(from, out_width, to);
                } else {
                    std::copy(from, from + out_width, to);
                }
            }
        }
    });
}

void ConvLayer::reserve_scratch(size_t floats) {
    Blob& cols = *col_buffer;
    if (cols.data != nullptr && size_t(cols.count) >= floats) return;
    if (floats > size_t(INT_MAX)) throw std::bad_alloc();
    cols.reshape(1, 1, int(floats));
}

}  // namespace kx
