#include "detect/frcnn_proposal_layer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "net/layers/single_layer_harness.h"

namespace kx {
namespace {

using Row = std::array<float, 5>;

std::string text(float v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.9g", double(v));
    return buf;
}

// A proposal layer over an H x W map: every object score -1, every delta 0.
struct Rig {
    Rig(const std::string& params, int H, int W, float img_h = 10000, float img_w = 10000, float scale = 1)
        : h("type:frcnnproposal," + params), H(H), W(W) {
        h.set_bottom(0, {18, H, W}, std::vector<float>(size_t(18 * H * W), -1.0f));
        h.set_bottom(1, {36, H, W}, std::vector<float>(size_t(36 * H * W), 0.0f));
        h.set_bottom(2, {3, 1, 1}, {img_h, img_w, scale});
    }
    float& score(int a, int y, int x) { return h.bottoms[0]->data[((9 + a) * H + y) * W + x]; }
    float& delta(int a, int k, int y, int x) { return h.bottoms[1]->data[((4 * a + k) * H + y) * W + x]; }
    std::vector<Row> run() {  // a silent pass, then the top's rows
        if (h.tops.empty()) { EXPECT_TRUE(h.setup()); }
        EXPECT_EQ(h.run(), "");
        std::vector<Row> rows(size_t(h.top().num));
        for (size_t k = 0; k < rows.size(); ++k) std::copy_n(h.top().data + 5 * k, 5, rows[k].begin());
        return rows;
    }
    test::LayerHarness h;
    int H, W;
};

// On a 2 x 3 map pair (column x, row y, anchor a) has index (x * H + y) * 9 + a.
// Tied pairs come out higher index first: 49 (anchor 4, row 1, column 2), 44
// (8, 0, 2), 36 (0, 0, 2), 35 (8, 1, 1); row-major would put 35 before 36.
// NaN scores rank last. Zero deltas keep the anchor (shifted 16 per cell) but
// move its far edges out by one pixel; near edges are clipped to 1.
TEST(FrcnnProposalLayer, TiesRankTheHigherColumnMajorIndexFirst) {
    Rig p("rpn_pre_nms_top_n:4,rpn_nms_thresh:1,rpn_min_size:0,", 2, 3);
    std::fill_n(p.h.bottoms[0]->data, p.h.bottoms[0]->count, std::numeric_limits<float>::quiet_NaN());
    const int tied[4][3] = {{4, 1, 2}, {8, 0, 2}, {0, 0, 2}, {8, 1, 1}};
    for (const auto& t : tied) p.score(t[0], t[1], t[2]) = 1.0f;
    EXPECT_EQ(p.run(), (std::vector<Row>{{0, 1, 1, 135 + 32 + 1, 135 + 16 + 1}, {0, 1, 1, 183 + 32 + 1, 359 + 1},
                                         {0, 1, 1, 99 + 32 + 1, 55 + 1}, {0, 1, 1, 183 + 16 + 1, 359 + 16 + 1}}));
}

// Anchor 3 at column 3, row 2 is (-8, -24, 119, 103): 128 x 128, centre
// (56, 40). dx 0.25 moves the centre to x 88 and dw ln 0.5 halves the width;
// dy 0.25 moves it to y 72 (no clipping in a large image), dy -0.125 to y 24,
// where y1 = -40 is clipped to 1 and x2, y2 stop at the 100 x 80 image.
TEST(FrcnnProposalLayer, DecodesDeltasAndClipsToOneAndTheImageSize) {
    const struct { float dy, img_h, img_w; Row want; } cases[] = {
        {0.25f, 1000, 1000, {0, 56, 8, 120, 136}}, {-0.125f, 80, 100, {0, 56, 1, 100, 80}}};
    for (const auto& c : cases) {
        Rig p("rpn_pre_nms_top_n:1,rpn_min_size:0,", 4, 5, c.img_h, c.img_w);
        p.score(3, 2, 3) = 1.0f;
        p.delta(3, 0, 2, 3) = 0.25f;
        p.delta(3, 1, 2, 3) = c.dy;
        p.delta(3, 2, 2, 3) = float(std::log(0.5));
        EXPECT_EQ(p.run(), std::vector<Row>{c.want});
    }
}

// At column 10, row 10 anchors 6, 0 and 3 decode to boxes 88 x 176,
// 184 x 96 and 128 x 128 (x2 - x1 by y2 - y1). The limit is rpn_min_size
// (16) times the image scale, and a box exactly at it stays.
TEST(FrcnnProposalLayer, MinimumSizeKeepsABoxExactlyAtTheLimit) {
    const struct { float scale; size_t kept; } cases[] = {
        {5.5f, 3}, {std::nextafter(5.5f, 6.0f), 2}, {6.0f, 2}, {std::nextafter(6.0f, 7.0f), 1}};
    for (const auto& c : cases) {
        Rig p("rpn_pre_nms_top_n:3,rpn_nms_thresh:1,", 12, 12, 10000, 10000, c.scale);
        for (int a : {6, 0, 3}) p.score(a, 10, 10) = a == 6 ? 3.0f : a == 0 ? 2.0f : 1.0f;
        const std::vector<Row> rows = p.run();
        ASSERT_EQ(rows.size(), c.kept) << c.scale;
        EXPECT_EQ(rows.back(), (Row{0, 104, 104, 232, 232}));
    }
}

// Anchor 3 at columns 10 and 11 of row 10 decodes to (104, 104, 232, 232)
// and (120, 104, 248, 232): 113 x 129 in common out of 129 x 129 each.
TEST(FrcnnProposalLayer, OverlapEqualToTheThresholdDoesNotSuppress) {
    const float overlap = 14577.0f / 18705.0f;
    for (const float thresh : {overlap, std::nextafter(overlap, 0.0f)}) {
        Rig p("rpn_pre_nms_top_n:2,rpn_nms_thresh:" + text(thresh) + ",", 12, 12);
        p.score(3, 10, 10) = 2.0f;
        p.score(3, 10, 11) = 1.0f;
        std::vector<Row> want = {{0, 104, 104, 232, 232}, {0, 120, 104, 248, 232}};
        if (thresh < overlap) want.pop_back();
        EXPECT_EQ(p.run(), want);
    }
}

// Three disjoint boxes, best first; a negative limit, read as unsigned, is
// no limit at all. A pass in which every box is below the minimum size says
// nothing and leaves the rows of the previous pass.
TEST(FrcnnProposalLayer, PostSuppressionLimitAndPassesWithoutSurvivors) {
    for (const int limit : {2, -1}) {
        Rig p("rpn_pre_nms_top_n:3,rpn_post_nms_top_n:" + std::to_string(limit) + ",", 4, 30);
        std::vector<Row> want;
        for (int k = 0; k < 3; ++k) {
            p.score(3, 2, 5 + 10 * k) = float(3 - k);
            const float x1 = -56.0f + 16.0f * float(5 + 10 * k);
            if (limit < 0 || k < limit) want.push_back({0, x1, 1, x1 + 128, 104});
        }
        EXPECT_EQ(p.run(), want);
        p.h.bottoms[2]->data[2] = 1000.0f;  // minimum side 16000 pixels
        EXPECT_EQ(p.run(), want);
        EXPECT_TRUE(static_cast<FrcnnProposalLayer*>(p.h.layer.get())->proposals().empty());
    }
}

}  // namespace
}  // namespace kx
