#include "align/shape_regression.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#include "net/thread_pool.h"
#include "support/landmark_model_writer.h"

namespace kx {
namespace {

using test::leaf;
using test::split;
using test::TreeSpec;

// Frame 100 x 100; the box puts the normalised origin at (50, 50) and one
// unit at 30 pixels.
const ShapeBox kBox{20, 20, 60, 60, 50, 50};

// Normalised offset that lands k whole pixels (plus half a pixel, away from
// any rounding edge) from its anchor.
float px(int k) { return (float(k) + 0.5f) / 30.0f; }

// Points on a grid 6 pixels apart from (20, 20), ten per row.
cv::Mat grid_shape(int points) {
    cv::Mat s(points, 2, CV_32FC1);
    for (int i = 0; i < points; ++i) s.at<cv::Point2f>(i) = {20 + 6.0f * float(i % 10), 20 + 6.0f * float(i / 10)};
    return s;
}

// `stages` copies of one stage over the points of `shape`, whose mean shape
// is `shape` itself in the box (an exact fit, without turn or scale). Table
// row r moves point votes[r].first (every point when negative) by
// votes[r].second units along x.
LandmarkModel model_of(const cv::Mat& shape, const std::vector<TreeSpec>& trees,
                       const std::vector<std::pair<int, float>>& votes, int stages = 1) {
    test::ModelSpec model_desc;
    model_desc.landmark_num = shape.rows;
    for (int i = 0; i < shape.rows; ++i)
        model_desc.mean.insert(model_desc.mean.end(), {(shape.at<float>(i, 0) - 50) / 30, (shape.at<float>(i, 1) - 50) / 30});
    test::StageSpec stage{trees, shape.rows, {}};
    for (const auto& [point, dx] : votes)
        for (int i = 0; i < shape.rows; ++i)
            stage.increments.insert(stage.increments.end(), {point < 0 || point == i ? dx : 0, 0});
    model_desc.stages.assign(size_t(stages), stage);
    const std::string bytes = test::serializeLandmarkModel(model_desc);
    LandmarkModel model;
    std::string error;
    EXPECT_TRUE(model.parse(bytes.data(), bytes.size(), error)) << error;
    return model;
}

const TreeSpec kOneLeaf{{split(0, 0, 0, 1, 0, 0, 0.0f, 1, 1), leaf(0)}, 1};

// How far the grid's points are moved when only `points` should move by dx
// pixels: 0 when they are.
double wrong_moves(const LandmarkModel& model, const cv::Mat& frame, const std::vector<int>& points, float dx) {
    cv::Mat shape = grid_shape(95), want = grid_shape(95);
    EXPECT_EQ(predictShape(model, frame, shape, kBox), 0);
    for (int p : points) want.at<float>(p, 0) += dx;
    return cv::norm(shape, want, cv::NORM_INF);
}

TEST(SimilarityTransform, RecoversAnAppliedRotationAndScale) {
    cv::Mat b(95, 2, CV_32FC1);
    for (int i = 0; i < 95; ++i)  // a round shape, whose spread does not change as it turns
        b.at<cv::Point2f>(i) = {float(0.6 * std::cos(2 * CV_PI * i / 95)), float(0.6 * std::sin(2 * CV_PI * i / 95))};
    for (const double degrees : {0.0, 30.0, -135.0, 179.0}) {
        const float t = float(degrees * CV_PI / 180.0), c = std::cos(t), s = std::sin(t);
        cv::Mat a;  // turned by t, scaled by 0.8 and moved
        cv::transform(b.reshape(2), a, cv::Matx23f(0.8f * c, -0.8f * s, -1.0f, 0.8f * s, 0.8f * c, 0.5f));
        a = a.reshape(1);
        cv::Matx22f r;
        float scale = 0;
        ASSERT_TRUE(similarityTransform(a, b, r, scale));
        EXPECT_NEAR(scale, 0.8f, 1e-5) << degrees;
        EXPECT_LT(cv::norm(r - cv::Matx22f(c, -s, s, c), cv::NORM_INF), 1e-5) << degrees;
    }
    cv::Matx22f r(9, 9, 9, 9);
    float scale = 5;
    const cv::Mat point(95, 2, CV_32FC1, cv::Scalar(0.3f));  // no spread
    EXPECT_FALSE(similarityTransform(point, b, r, scale) || similarityTransform(b, point, r, scale) ||
                 similarityTransform(b, b.rowRange(0, 94), r, scale) || scale != 5.0f || r(0, 0) != 9.0f);
}

// One stage on its own, on a working shape that is the mean shape turned by
// 30 degrees and grown by 1.5 (about another centre): the stage's vote, a
// table row in the mean shape's frame, comes back turned and grown the same
// way. Point 3's row moves it 0.1 units along x; every other point stays.
TEST(PredictStage, TurnsAndScalesTheVoteLikeTheWorkingShape) {
    const cv::Mat frame(100, 100, CV_8UC1, cv::Scalar(100));
    // A round mean shape: its size measure does not change as it turns.
    cv::Mat round(95, 2, CV_32FC1);
    for (int i = 0; i < 95; ++i) {
        round.at<cv::Point2f>(i) = {float(50 + 18 * std::cos(2 * CV_PI * i / 95)),
                                    float(50 + 18 * std::sin(2 * CV_PI * i / 95))};
    }
    const LandmarkModel model = model_of(round, {kOneLeaf}, {{3, 0.1f}});
    const double t = 30.0 * CV_PI / 180.0, grow = 1.5;
    cv::Mat shape(95, 2, CV_32FC1);
    for (int i = 0; i < 95; ++i) {
        const double u = model.mean_shape.at<float>(i, 0), v = model.mean_shape.at<float>(i, 1);
        shape.at<float>(i, 0) = float(48 + 30 * grow * (std::cos(t) * u - std::sin(t) * v));
        shape.at<float>(i, 1) = float(53 + 30 * grow * (std::sin(t) * u + std::cos(t) * v));
    }
    cv::Mat increment;
    ASSERT_TRUE(predictStage(model.stages[0], model, frame, shape, kBox, increment));
    ASSERT_EQ(increment.size(), cv::Size(2, 95));
    cv::Mat want = cv::Mat::zeros(95, 2, CV_32FC1);
    want.at<float>(3, 0) = float(grow * 0.1 * std::cos(t));
    want.at<float>(3, 1) = float(grow * 0.1 * std::sin(t));
    EXPECT_LT(cv::norm(increment, want, cv::NORM_INF), 1e-5) << increment.row(3);

    // A shape without spread gives no similarity, hence no prediction.
    const cv::Mat point(95, 2, CV_32FC1, cv::Scalar(40.0f));
    EXPECT_FALSE(predictStage(model.stages[0], model, frame, point, kBox, increment));
}

// One split compares feature a, an offset from point 0 at (20, 20), with
// feature b 9.5 pixels left of it, at pixel (10, 20) = 100. It goes left
// (moving point 1) only when the threshold exceeds the difference a - b;
// features outside the frame read its nearest edge pixel.
TEST(PredictShape, SplitGoesLeftOnlyWhenTheThresholdExceedsTheDifference) {
    cv::Mat frame(100, 100, CV_8UC1, cv::Scalar(100));
    frame.at<uchar>(20, 30) = 110;
    frame.at<uchar>(20, 0) = 30, frame.at<uchar>(20, 99) = 250;  // left and right edges
    frame.at<uchar>(0, 20) = 5, frame.at<uchar>(99, 20) = 240;   // top and bottom edges
    const struct { float ax, ay, threshold; bool left; } cases[] = {
        {px(10), px(0), 10.0f, false},    {px(10), px(0), 10.5f, true},     // 110 - 100
        {px(-200), px(0), -69.5f, true},  {px(-200), px(0), -70.5f, false}, // left edge: 30 - 100
        {px(500), px(0), 150.5f, true},   {px(500), px(0), 149.5f, false},  // right edge: 250 - 100
        {px(0), px(-300), -94.5f, true},  {px(0), px(-300), -95.5f, false}, // top edge: 5 - 100
        {px(0), px(900), 140.5f, true},   {px(0), px(900), 139.5f, false},  // bottom edge: 240 - 100
    };
    for (const auto& c : cases) {
        const TreeSpec tree{{split(0, c.ax, c.ay, 0, px(-10), px(0), c.threshold, 1, 2), leaf(0), leaf(1)}, 2};
        EXPECT_LT(wrong_moves(model_of(grid_shape(95), {tree}, {{1, 0.1f}, {2, 0.1f}}), frame, {c.left ? 1 : 2}, 3),
                  1e-4) << c.ax << ", " << c.ay << " against " << c.threshold;
    }
}

// Tree 0 (2 leaves, rows 0..1) goes right: row 1. Tree 1 (3 leaves, rows
// 2..4) goes right twice: its leaf 2 is row 4. Tree 2 (1 leaf): row 5.
TEST(PredictShape, LeafRowsCountOnAcrossTheTreesOfAStage) {
    cv::Mat frame(100, 100, CV_8UC1, cv::Scalar(100));
    frame.at<uchar>(20, 30) = 150;
    const test::NodeSpec root = split(0, px(10), px(0), 0, px(-10), px(0), 0.0f, 1, 2);
    const TreeSpec t0{{root, leaf(0), leaf(1)}, 2};
    const TreeSpec t1{{root, leaf(0), split(0, px(10), px(0), 0, px(-10), px(0), 20.0f, 3, 4), leaf(1), leaf(2)}, 3};
    std::vector<std::pair<int, float>> votes;
    for (int r = 0; r < 6; ++r) votes.push_back({10 + r, 0.1f});  // row r moves point 10 + r
    EXPECT_LT(wrong_moves(model_of(grid_shape(95), {t0, t1, kOneLeaf}, votes), frame, {11, 14, 15}, 3), 1e-4);
}

// Each stage moves every point by 0.01 units, 0.3 pixels; only the first
// four stages run, and a model without stages changes nothing.
TEST(PredictShape, RunsAtMostFourStages) {
    const cv::Mat frame(100, 100, CV_8UC1, cv::Scalar(100));
    std::vector<int> all;
    for (int i = 0; i < 95; ++i) all.push_back(i);
    for (const int stages : {0, 1, 4, 6}) {
        const LandmarkModel model = model_of(grid_shape(95), {kOneLeaf}, {{-1, 0.01f}}, stages);
        EXPECT_LT(wrong_moves(model, frame, all, 0.3f * float(std::min(stages, 4))), 1e-4) << stages;
    }
    EXPECT_EQ(wrong_moves(LandmarkModel(), frame, {}, 0), 0.0);
}

// A 64-point model's rows 0..43 are shape rows 19..62 and its rows 44..63
// shape rows 75..94; the other rows are neither read nor written.
TEST(PredictShape, SixtyFourPointModelWorksOnItsOwnRows) {
    const cv::Mat grid = grid_shape(95);
    cv::Mat covered(64, 2, CV_32FC1), shape = grid.clone();
    for (int r = 0; r < 64; ++r) grid.row(r < 44 ? r + 19 : r + 31).copyTo(covered.row(r));
    for (int i = 0; i < 95; ++i)  // far away: reading them would spoil the fit
        if (i < 19 || (i >= 63 && i < 75)) shape.row(i).setTo(cv::Scalar(-500.0f - float(i)));
    // Model point 44 (shape row 75, at (50, 62)) against model point 0 (shape
    // row 19, at (74, 26)): left moves model point 44, right model point 0.
    const TreeSpec tree{{split(44, px(0), px(0), 0, px(0), px(0), 0.0f, 1, 2), leaf(0), leaf(1)}, 2};
    const LandmarkModel model = model_of(covered, {tree}, {{44, 0.1f}, {0, 0.1f}});
    for (const bool brighter : {true, false}) {
        cv::Mat frame(100, 100, CV_8UC1, cv::Scalar(100)), refined = shape.clone(), want = shape.clone();
        frame.at<uchar>(62, 50) = brighter ? 200 : 50;
        ASSERT_EQ(predictShape(model, frame, refined, kBox), 0);
        want.at<float>(brighter ? 19 : 75, 0) += 3.0f;
        EXPECT_LT(cv::norm(refined, want, cv::NORM_INF), 1e-4) << brighter;
    }
}


// On threads the walks are split by trees and the sums by columns; each
// value must still be summed in tree order. 70 trees (two whole tasks of
// walks and a part), 190 vote columns (not a whole number of blocks),
// votes of mixed sizes so that another order would round differently.
TEST(PredictShape, ThreadsGiveTheSameBits) {
    cv::Mat frame(100, 100, CV_8UC1);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x) frame.at<uchar>(y, x) = uchar((x * 37 + y * 91 + x * y) % 251);
    std::vector<TreeSpec> trees;
    for (int t = 0; t < 70; ++t) {
        const int a = (t * 17) % 95, b = (t * 29 + 3) % 95;
        const float threshold = float(t % 7) * 9.0f - 30.0f;
        const test::NodeSpec root = split(a, px(t % 5), px(-(t % 3)), b, px(-(t % 4)), px(t % 6), threshold, 1, 2);
        trees.push_back({{root, leaf(0), leaf(1)}, 2});
    }
    std::vector<std::pair<int, float>> votes;
    for (int r = 0; r < 140; ++r) {
        votes.push_back({r % 3 == 0 ? -1 : r % 95, (r % 2 ? 1e-3f : 0.37f) * float(1 + r % 11)});
    }
    const LandmarkModel model = model_of(grid_shape(95), trees, votes, 4);
    cv::Mat alone = grid_shape(95);
    ASSERT_EQ(predictShape(model, frame, alone, kBox), 0);
    EXPECT_GT(cv::norm(alone, grid_shape(95), cv::NORM_INF), 1.0);  // the trees did move the points
    for (int threads : {1, 2, 3}) {
        SCOPED_TRACE(threads);
        ThreadPool pool(threads);
        cv::Mat shared = grid_shape(95);
        ASSERT_EQ(predictShape(model, frame, shared, kBox, &pool), 0);
        EXPECT_EQ(std::memcmp(shared.data, alone.data, 95 * 2 * sizeof(float)), 0);
    }
}

}  // namespace
}  // namespace kx
