#include "detect/detection_run.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace kx {
namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

// The candidates of one decoding call: rows (0, x1, y1, x2, y2), 8 deltas
// and 2 probabilities each.
struct Candidates {
    std::vector<float> boxes, deltas, probs;

    // Zero face deltas move the far edges out by one pixel (the one-pixel
    // convention), so a row one pixel in decodes to (x1, y1, x2, y2).
    void add(float x1, float y1, float x2, float y2, float face) {
        boxes.insert(boxes.end(), {0, x1, y1, x2 - 1, y2 - 1});
        deltas.insert(deltas.end(), {5, 5, 2, 2, 0, 0, 0, 0});  // the background's would move it far
        probs.insert(probs.end(), {1 - face, face});
    }
    std::vector<DetectionRow> decode(std::vector<float> info = {500, 500, 1}) const {
        return decodeDetections(info.data(), int(boxes.size() / 5), boxes.data(), deltas.data(), probs.data(), 0.8f);
    }
};

std::vector<float> values(const DetectionRow& r) { return {r.x, r.y, r.width, r.height, r.score}; }

// At scale 2 the first row is the box 10..49 x 20..59: 40 x 40, centre
// (30, 40). Its face deltas (dx 0.5, dw ln 2) move the centre to x 50 and
// double the width: 10..90 x 20..60, given as corner and x2 - x1, y2 - y1.
// The second row, 140..250 with zero deltas, ends at the image's 400 / 2.
TEST(DecodeDetections, AppliesTheFaceDeltasAtTheImageScale) {
    const float info[3] = {300, 400, 2};
    const float boxes[10] = {0, 20, 40, 98, 118, 0, 280, 40, 500, 118};
    const float deltas[16] = {9, 9, 9, 9, 0.5f, 0, float(std::log(2.0)), 0, 9, 9, 9, 9, 0, 0, 0, 0};
    const float probs[4] = {0.1f, 0.9f, 0.15f, 0.85f};
    const std::vector<DetectionRow> rows = decodeDetections(info, 2, boxes, deltas, probs, 0.8f);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(values(rows[0]), (std::vector<float>{10, 20, 80, 40, 0.9f}));
    EXPECT_EQ(values(rows[1]), (std::vector<float>{140, 20, 60, 40, 0.85f}));
    EXPECT_TRUE(decodeDetections(info, 0, boxes, deltas, probs, 0.8f).empty());
}

// Only edges that reach out of the 200 x 150 image are pulled back: x1, y1
// to 1 and x2, y2 to the image size.
TEST(DecodeDetections, ClipsOnlyTheEdgesOutsideTheImage) {
    const struct { float x1, y1, x2, y2; std::vector<float> want; } cases[] = {
        {-20, 0.5f, 60, 70, {1, 1, 59, 69, 0.9f}},          // near edges: to 1, not 0
        {150, 100, 260, 190, {150, 100, 50, 50, 0.9f}},     // far edges: to 200 x 150
        {300, 10, 320, 30, {300, 10, -100, 20, 0.9f}},      // x1 has no upper bound
        {1, 1, 200, 150, {1, 1, 199, 149, 0.9f}},           // on the edges: unchanged
    };
    for (const auto& c : cases) {
        Candidates cands;
        cands.add(c.x1, c.y1, c.x2, c.y2, 0.9f);
        EXPECT_EQ(values(cands.decode({150, 200, 1}).at(0)), c.want);
    }
}

// A score equal to the threshold is kept; lower and NaN scores end the list.
TEST(DecodeDetections, KeepsScoresFromTheThresholdUpBestFirst) {
    Candidates c;
    const float scores[4] = {std::nextafter(0.8f, 0.0f), 0.8f, kNaN, 0.9f};
    for (int k = 0; k < 4; ++k) c.add(100.0f * float(k), 0, 100.0f * float(k) + 20, 20, scores[k]);
    std::vector<float> kept;
    for (const DetectionRow& r : c.decode()) kept.push_back(r.score);
    EXPECT_EQ(kept, (std::vector<float>{0.9f, 0.8f}));
}

// Square boxes (x, side) at y = 10, best first. Boxes of 101 pixels shifted
// by d overlap by (101 - d) / (101 + d). The overlap is compared with the
// double 0.3, above which the weaker box goes.
TEST(DecodeDetections, SuppressesOverlapsAboveThreeTenths) {
    const struct { const char* why; std::vector<std::pair<float, float>> boxes; std::vector<float> kept_x; } cases[] = {
        {"shift 54: 0.3032", {{10, 101}, {64, 101}}, {10}},
        {"shift 55: 0.2949", {{10, 101}, {65, 101}}, {10, 65}},
        {"78 / 260 rounds to the float 0.3f, above the double 0.3", {{10, 13}, {17, 13}}, {10}},
        {"a suppressed box suppresses nothing: C overlaps B, not A", {{10, 101}, {50, 101}, {80, 101}}, {10, 80}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        Candidates cands;
        float score = 0.95f;
        for (const auto& [x, side] : c.boxes) cands.add(x, 10, x + side - 1, 10 + side - 1, score -= 0.02f);
        std::vector<float> kept_x;
        for (const DetectionRow& r : cands.decode()) kept_x.push_back(r.x);
        EXPECT_EQ(kept_x, c.kept_x);
    }
}

}  // namespace
}  // namespace kx
