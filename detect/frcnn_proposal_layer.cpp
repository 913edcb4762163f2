#include "detect/frcnn_proposal_layer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

#include "net/console.h"
#include "net/params.h"

namespace kx {

namespace {

constexpr int kAnchors = 9;

// Nine boxes centred on (7.5, 7.5), the centre of the 16-pixel cell at the
// origin: aspect ratios (height:width) of about 1:2, 1:1 and 2:1, each at
// three sizes, ratio-major. feat_stride only shifts them across the map.
struct AnchorBox {
    int x1, y1, x2, y2;
};
constexpr AnchorBox kAnchorTable[kAnchors] = {
    {-84, -40, 99, 55},    {-176, -88, 191, 103},  {-360, -184, 375, 199},
    {-56, -56, 71, 71},    {-120, -120, 135, 135}, {-248, -248, 263, 263},
    {-36, -80, 51, 95},    {-80, -168, 95, 183},   {-168, -344, 183, 359},
};

// One 64-bit key per (score, index) pair whose descending order is the
// ranking: higher score first, equal scores with the higher index first.
// The score's bits are mapped so that unsigned order follows float order;
// -0 counts as +0 (they compare equal), and NaN ranks below every number.
uint64_t rank_key(float score, int index) {
    uint32_t key = 0;
    if (!std::isnan(score)) {
        if (score == 0.0f) score = 0.0f;
        uint32_t bits;
        std::memcpy(&bits, &score, sizeof bits);
        key = (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
    }
    return (uint64_t(key) << 32) | uint32_t(index);
}

int key_index(uint64_t key) { return int(uint32_t(key)); }

float clip(float v, float upper) { return std::max(std::min(v, upper), 1.0f); }

bool test_bit(const std::vector<uint32_t>& bits, int i) { return (bits[size_t(i) >> 5] >> (i & 31)) & 1u; }
void clear_bit(std::vector<uint32_t>& bits, int i) { bits[size_t(i) >> 5] &= ~(1u << (i & 31)); }

}  // namespace

FrcnnProposalLayer::Settings FrcnnProposalLayer::read_settings() const {
    Settings s;
    s.pre_nms_top_n = param_int_or(params, "rpn_pre_nms_top_n", 1000);
    s.post_nms_top_n = param_int_or(params, "rpn_post_nms_top_n", 100);
    s.nms_thresh = param_float_or(params, "rpn_nms_thresh", 0.7f);
    s.min_size = param_int_or(params, "rpn_min_size", 16);
    s.feat_stride = param_int_or(params, "feat_stride", 16);
    return s;
}

// Scores need channels 9..17 and the deltas 4 per anchor over the same map;
// the information input needs height, width and scale.
bool FrcnnProposalLayer::bottoms_usable(const BlobList& bottoms) {
    if (bottoms.size() != 3) return false;
    const Blob* scores = bottoms[0];
    const Blob* deltas = bottoms[1];
    const Blob* info = bottoms[2];
    if (deltas->channels % 4 != 0 || deltas->channels < 4 * kAnchors) return false;
    if (scores->channels < 2 * kAnchors) return false;
    if (scores->height != deltas->height || scores->width != deltas->width) return false;
    if (deltas->height <= 0 || deltas->width <= 0) return false;
    return info->count >= 3;
}

bool FrcnnProposalLayer::setup(const BlobList& bottoms, BlobList& tops) {
    if (!bottoms_usable(bottoms)) return false;
    if (read_settings().pre_nms_top_n <= 0) return false;
    if (!append_new_blob(tops, 5, 1, 1, 1)) return false;
    // A pass that keeps no box leaves the top as it was; on the first pass
    // that is this row, which the layers behind read, so it must hold a
    // defined (empty) box rather than whatever the allocator gave.
    std::fill(tops.back()->data, tops.back()->data + 5, 0.0f);
    return true;
}

void FrcnnProposalLayer::Corners::fill(const std::vector<BoxF>& boxes, int n) {
    // Padded to whole words of flags; the padding is never kept.
    const size_t padded = (size_t(n) + 31) / 32 * 32;
    for (std::vector<float>* v : {&x1, &y1, &x2, &y2}) v->assign(padded, 0.0f);
    for (size_t j = 0; j < size_t(n); ++j) {
        x1[j] = boxes[j].x1;
        y1[j] = boxes[j].y1;
        x2[j] = boxes[j].x2;
        y2[j] = boxes[j].y2;
    }
}

// Clears the flag of every box after `i` that overlaps box i by more than
// `thresh`. Works a word of 32 flags at a time: the overlaps of the whole
// word are computed with the same arithmetic as boxOverlap (so the compiler
// can vectorise them), then the flags above the threshold are cleared.
// Computing an overlap for a box whose flag is already clear changes nothing.
void FrcnnProposalLayer::suppress_after(int i, int n, float thresh) {
    const float ax1 = corners_.x1[size_t(i)], ay1 = corners_.y1[size_t(i)];
    const float ax2 = corners_.x2[size_t(i)], ay2 = corners_.y2[size_t(i)];
    const float area_a = (ax2 - ax1 + 1.0f) * (ay2 - ay1 + 1.0f);
    const size_t words = (size_t(n) + 31) / 32;
    for (size_t w = size_t(i + 1) / 32; w < words; ++w) {
        if (keep_[w] == 0) continue;
        const size_t base = w * 32;
        const float* bx1 = corners_.x1.data() + base;
        const float* by1 = corners_.y1.data() + base;
        const float* bx2 = corners_.x2.data() + base;
        const float* by2 = corners_.y2.data() + base;
        float overlap[32];
        for (int k = 0; k < 32; ++k) {
            float iw = std::min(ax2, bx2[k]) - std::max(ax1, bx1[k]) + 1.0f;
            float ih = std::min(ay2, by2[k]) - std::max(ay1, by1[k]) + 1.0f;
            iw = iw > 0.0f ? iw : 0.0f;
            ih = ih > 0.0f ? ih : 0.0f;
            const float inter = iw * ih;
            const float area_b = (bx2[k] - bx1[k] + 1.0f) * (by2[k] - by1[k] + 1.0f);
            overlap[k] = inter / (area_a + area_b - inter);
        }
        uint32_t clear = 0;
        for (int k = 0; k < 32; ++k) clear |= uint32_t(overlap[k] > thresh) << k;
        // Only boxes after i, and none of the padding past n.
        const int first = std::max(i + 1 - int(base), 0);
        const int last = std::min(n - int(base), 32);
        const uint32_t in_range = (last >= 32 ? ~0u : ((1u << last) - 1u)) & (~0u << first);
        keep_[w] &= ~(clear & in_range);
    }
}

bool FrcnnProposalLayer::compute(const BlobList& bottoms) {
    const Settings set = read_settings();
    if (set.pre_nms_top_n <= 0 || !bottoms_usable(bottoms)) return false;

    const Blob& scores = *bottoms[0];
    const Blob& deltas = *bottoms[1];
    const int H = deltas.height;
    const int W = deltas.width;
    const float img_h = bottoms[2]->data[0];
    const float img_w = bottoms[2]->data[1];
    const float scale = bottoms[2]->data[2];

    // Every (cell, anchor) pair: column outermost, then row, then anchor.
    const int total = H * W * kAnchors;
    order_.clear();
    order_.reserve(size_t(total));
    for (int x = 0; x < W; ++x) {
        for (int y = 0; y < H; ++y) {
            for (int a = 0; a < kAnchors; ++a) {
                const float score = scores.data[(size_t(kAnchors + a) * H + y) * W + x];
                order_.push_back(rank_key(score, (x * H + y) * kAnchors + a));
            }
        }
    }
    // The keys are unique, so selecting the leading n and sorting only them
    // gives exactly the leading n of a full sort.
    const int n = std::min(set.pre_nms_top_n, total);
    if (n < total) std::nth_element(order_.begin(), order_.begin() + n, order_.end(), std::greater<uint64_t>());
    std::sort(order_.begin(), order_.begin() + n, std::greater<uint64_t>());

    const float max_x = img_w;
    const float max_y = img_h;
    const float min_side = float(set.min_size) * scale;
    decoded_.resize(size_t(n));
    keep_.assign((size_t(n) + 31) / 32, ~0u);
    for (int i = 0; i < n; ++i) {
        const int index = key_index(order_[size_t(i)]);
        const int x = index / (kAnchors * H);
        const int y = (index % (kAnchors * H)) / kAnchors;
        const int a = index % kAnchors;
        const AnchorBox& anchor = kAnchorTable[a];
        // In double so that a huge stride cannot overflow an int.
        const double sx = double(x) * set.feat_stride;
        const double sy = double(y) * set.feat_stride;
        BoxF box;
        box.x1 = float(anchor.x1 + sx);
        box.y1 = float(anchor.y1 + sy);
        box.x2 = float(anchor.x2 + sx);
        box.y2 = float(anchor.y2 + sy);

        float d[4];
        for (int k = 0; k < 4; ++k) d[k] = deltas.data[(size_t(4 * a + k) * H + y) * W + x];
        BoxF out = applyBoxDeltas(box, d);
        out.x1 = clip(out.x1, max_x);
        out.x2 = clip(out.x2, max_x);
        out.y1 = clip(out.y1, max_y);
        out.y2 = clip(out.y2, max_y);
        decoded_[size_t(i)] = out;

        if (out.x2 - out.x1 < min_side || out.y2 - out.y1 < min_side) clear_bit(keep_, i);
    }
    corners_.fill(decoded_, n);

    // Greedy suppression in score order; the limit is compared as unsigned,
    // so a negative rpn_post_nms_top_n means no limit.
    const size_t limit = size_t(uint32_t(set.post_nms_top_n));
    proposals_.clear();
    for (int i = 0; i < n; ++i) {
        if (proposals_.size() >= limit) break;
        if (!test_bit(keep_, i)) continue;
        suppress_after(i, n, set.nms_thresh);
        proposals_.push_back(decoded_[size_t(i)]);
    }
    return true;
}

void FrcnnProposalLayer::forward(const BlobList& bottoms, const BlobList& tops) {
    proposals_.clear();  // a pass that cannot run keeps no box
    if (tops.empty() || !compute(bottoms)) {
        say_reshape_failed();
        return;
    }
    Blob* top = tops[0];
    // With no proposal the reshape is refused and the top keeps its rows.
    top->reshape(5, 1, 1, int(proposals_.size()));
    if (proposals_.empty() || size_t(top->count) < proposals_.size() * 5) return;
    float* row = top->data;
    for (const BoxF& box : proposals_) {
        row[0] = 0.0f;
        row[1] = box.x1;
        row[2] = box.y1;
        row[3] = box.x2;
        row[4] = box.y2;
        row += 5;
    }
}

}  // namespace kx
