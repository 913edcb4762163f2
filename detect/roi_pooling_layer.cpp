#include "detect/roi_pooling_layer.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "net/console.h"
#include "net/params.h"
#include "net/thread_pool.h"

namespace kx {

namespace {

constexpr int kRowValues = 5;  // batch index, x1, y1, x2, y2
constexpr float kStartValue = -10000.0f;

// Box corners are rounded to feature cells. Anything beyond +-2^30 cells is
// far outside any feature map, so saturating there keeps every later sum in
// range without changing which cells a box covers; NaN counts as cell 0.
constexpr double kCellLimit = 1073741824.0;

long long round_to_cell(float value) {
    const float r = std::round(value);
    if (std::isnan(r)) return 0;
    return (long long)std::max(-kCellLimit, std::min(double(r), kCellLimit));
}

// Bin edge as an index clamped to [0, size]. The clamp happens in double,
// before the conversion, so no value can overflow the int.
int clamp_edge(double edge, int size) { return int(std::min(std::max(edge, 0.0), double(size))); }

// A box row holds at least the five values every row is read with.
bool rows_usable(const Blob& rois) { return rois.num > 0 && rois.count / rois.num >= kRowValues; }

// A box's bin edges: rows [hstart, hend) by columns [wstart, wend).
struct Bins {
    const int* hstart;
    const int* hend;
    const int* wstart;
    const int* wend;
    int rows;
    int cols;
};

// Channels pooled side by side. A running maximum is a chain of dependent
// comparisons, each waiting for the one before; several channels give the
// CPU independent chains to overlap. Each channel still visits its cells in
// the order it would alone, so the bits do not change.
constexpr int kChannelGroup = 8;

// Pools G channels (maps `plane` floats apart) of one box into their cells
// (out, out + cells, ...). Only strictly larger values replace a running
// maximum that starts at kStartValue: NaN is passed over, and of equal
// values (+0 and -0) the first visited stays. An empty bin gives 0.
template <int G>
void pool_channels(const float* map, size_t plane, int width, const Bins& bins, float* out) {
    const size_t cells = size_t(bins.rows) * size_t(bins.cols);
    for (int ph = 0; ph < bins.rows; ++ph) {
        const int h0 = bins.hstart[ph], h1 = bins.hend[ph];
        for (int pw = 0; pw < bins.cols; ++pw) {
            const int w0 = bins.wstart[pw], w1 = bins.wend[pw];
            float value[G];
            const bool empty = h1 <= h0 || w1 <= w0;
            for (int g = 0; g < G; ++g) value[g] = empty ? 0.0f : kStartValue;
            for (int h = empty ? h1 : h0; h < h1; ++h) {
                const float* line = map + size_t(h) * size_t(width);
                for (int w = w0; w < w1; ++w) {
                    for (int g = 0; g < G; ++g) {
                        const float v = line[size_t(g) * plane + size_t(w)];
                        if (v > value[g]) value[g] = v;
                    }
                }
            }
            const size_t cell = size_t(ph) * size_t(bins.cols) + size_t(pw);
            for (int g = 0; g < G; ++g) out[size_t(g) * cells + cell] = value[g];
        }
    }
}

}  // namespace

bool ROIPoolingLayer::check_and_record(const BlobList& bottoms) {
    if (bottoms.size() != 2) {
        say("pre_data size is not 2");
        return false;
    }
    if (!has_param(params, "pooled_w")) {
        say("pooled_w is not found");
        return false;
    }
    if (!has_param(params, "pooled_h")) {
        say("pooled_h is not found");
        return false;
    }
    if (!has_param(params, "spatial_scale")) {
        say("spatial scale is not found");
        return false;
    }
    pooled_w = param_int(params, "pooled_w");
    pooled_h = param_int(params, "pooled_h");
    spatial_scale = param_float(params, "spatial_scale");
    channels = bottoms[0]->channels;
    num_rois = bottoms[1]->num;
    return true;
}

bool ROIPoolingLayer::setup(const BlobList& bottoms, BlobList& tops) {
    if (!check_and_record(bottoms)) return false;
    if (!rows_usable(*bottoms[1])) return false;
    return append_new_blob(tops, channels, pooled_h, pooled_w, num_rois);
}

void ROIPoolingLayer::forward(const BlobList& bottoms, const BlobList& tops) {
    if (!check_and_record(bottoms) || tops.empty() || !rows_usable(*bottoms[1])) {
        say_reshape_failed();
        return;
    }
    Blob& top = *tops[0];
    // Refused for zero boxes: the top then keeps its previous shape and the
    // pass repeats over as many rows as that shape holds. A top of the same
    // shape keeps its storage.
    reshape_if_changed(top, channels, pooled_h, pooled_w, num_rois);
    if (top.channels != channels || top.height != pooled_h || top.width != pooled_w ||
        bottoms[0]->height <= 0 || bottoms[0]->width <= 0) {
        say_reshape_failed();
        return;
    }
    pool(*bottoms[0], *bottoms[1], top);
}

void ROIPoolingLayer::pool(const Blob& features, const Blob& rois, Blob& top) const {
    const int H = features.height;
    const int W = features.width;
    const size_t plane = size_t(H) * size_t(W);
    const size_t row_stride = size_t(rois.count / rois.num);
    // Never read more rows than the box blob holds, whatever the top says.
    int rows = std::min(top.num, rois.num);
    // A negative batch index (truncated toward zero; NaN counts as negative)
    // ends the pass. Features always come from the first item.
    for (int r = 0; r < rows; ++r) {
        if (!(rois.data[size_t(r) * row_stride] > -1.0f)) {
            rows = r;
            break;
        }
    }

    const size_t rows_out = static_cast<size_t>(pooled_h);
    const size_t cols_out = static_cast<size_t>(pooled_w);
    const size_t cells = rows_out * cols_out;
    const size_t per_box = size_t(channels) * cells;
    // The rows a stop leaves out read as zeros rather than as whatever the
    // memory held (fresh storage or an earlier pass's boxes).
    std::fill(top.data + size_t(rows) * per_box, top.data + size_t(top.count), 0.0f);
    // Bin edges of one box per slot: hstart, hend, wstart, wend.
    const size_t edges = 2 * (rows_out + cols_out);
    const size_t edges_stride = slot_stride(edges);
    std::vector<int> scratch(edges_stride * size_t(slot_count(threads)));

    // Boxes are pooled independently, each by one task.
    parallel_for(rows > 1 ? threads : nullptr, rows, [&](int r, int slot) {
        const float* row = rois.data + size_t(r) * row_stride;
        int* hstart = scratch.data() + edges_stride * size_t(slot);
        int* hend = hstart + rows_out;
        int* wstart = hend + rows_out;
        int* wend = wstart + cols_out;

        const long long start_w = round_to_cell(row[1] * spatial_scale);
        const long long start_h = round_to_cell(row[2] * spatial_scale);
        const long long end_w = round_to_cell(row[3] * spatial_scale);
        const long long end_h = round_to_cell(row[4] * spatial_scale);
        const long long roi_h = std::max(end_h - start_h + 1, 1LL);
        const long long roi_w = std::max(end_w - start_w + 1, 1LL);
        const float bin_h = float(double(roi_h) / double(pooled_h));
        const float bin_w = float(double(roi_w) / double(pooled_w));

        for (int ph = 0; ph < pooled_h; ++ph) {
            hstart[ph] = clamp_edge(std::floor(double(float(ph) * bin_h)) + double(start_h), H);
            hend[ph] = clamp_edge(std::ceil(double(float(ph + 1) * bin_h)) + double(start_h), H);
        }
        for (int pw = 0; pw < pooled_w; ++pw) {
            wstart[pw] = clamp_edge(std::floor(double(float(pw) * bin_w)) + double(start_w), W);
            wend[pw] = clamp_edge(std::ceil(double(float(pw + 1) * bin_w)) + double(start_w), W);
        }

        float* out = top.data + size_t(r) * per_box;
        const Bins bins{hstart, hend, wstart, wend, pooled_h, pooled_w};
        int c = 0;
        for (; c + kChannelGroup <= channels; c += kChannelGroup) {
            pool_channels<kChannelGroup>(features.data + size_t(c) * plane, plane, W, bins, out + size_t(c) * cells);
        }
        for (; c < channels; ++c) {
            pool_channels<1>(features.data + size_t(c) * plane, plane, W, bins, out + size_t(c) * cells);
        }
    });
}

}  // namespace kx
