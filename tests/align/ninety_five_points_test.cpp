#include "align/ninety_five_points.h"

#include <gtest/gtest.h>

#include <cmath>

#include "landmark_nets.h"
#include "support/landmark_model_writer.h"

namespace kx {
namespace {

using test::constant_head;
using test::load_dense_net;

// Crop-pixel positions of the network's 95 points, moved by `shift`: a grid,
// with the eye rows (39, 45 | 51, 57) around (22, 14) and (38, 14) and the
// mouth corners (87, 91) at (24, 38) and (36, 38).
cv::Mat crop_points(cv::Point2f shift = {0, 0}) {
    cv::Mat p(95, 2, CV_32FC1);
    for (int i = 0; i < 95; ++i) p.at<cv::Point2f>(i) = {10.0f + 4.0f * float(i % 10), 6.0f + 5.0f * float(i / 10)};
    const int rows[6] = {39, 45, 51, 57, 87, 91};
    const cv::Point2f at[6] = {{20, 14}, {24, 14}, {36, 14}, {40, 14}, {24, 38}, {36, 38}};
    for (int k = 0; k < 6; ++k) p.at<cv::Point2f>(rows[k]) = at[k];
    const cv::Mat moved = p.reshape(2) + cv::Scalar(shift.x, shift.y);
    return moved.reshape(1);
}

std::unique_ptr<Net> net_with(const cv::Mat& crop, float l0, float l1) {
    const cv::Mat units = (crop - 30.0f) / 30.0f;
    return load_dense_net({constant_head({units.begin<float>(), units.end<float>()}), constant_head({l0, l1})});
}

// Eye centre (50, 30), mouth centre (50, 54): the crop is the frame moved by
// (-20, -16), so crop point c is frame point c + (20, 16).
FaceRecord upright_face() {
    FaceRecord face;
    face.landmarks = (cv::Mat_<float>(5, 2) << 40, 30, 60, 30, 50, 42, 42, 54, 58, 54);
    return face;
}

// The shape in frame pixels, and a frame (the networks' outputs are constant).
cv::Mat frame_points(cv::Point2f shift = {0, 0}) { return crop_points(shift + cv::Point2f(20, 16)); }
const cv::Mat kFrame(120, 120, CV_8UC1, cv::Scalar(90));

// The face score is the softmax of the two logits; only above one half is it
// a face. The shape is produced either way.
TEST(AlignNinetyFivePoints, FreshFaceTakesTheNetworkPointsAndItsScore) {
    const struct { float l0, l1; bool face; } cases[] = {
        {0, 2, true}, {1, 1, false}, {0, 0.001f, true}, {3, -3, false}, {1000, 1001, true}, {-1000, -1001, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.l0) + ", " + std::to_string(c.l1));
        auto net = net_with(crop_points(), c.l0, c.l1);
        ASSERT_NE(net, nullptr);
        TrackedFace state;
        if (c.face) state.shape = cv::Mat::zeros(95, 2, CV_32FC1);  // as first-time callers hand it in
        bool is_face = !c.face;
        ASSERT_EQ(alignNinetyFivePoints(state, *net, LandmarkModel(), kFrame, upright_face(), is_face), 0);
        EXPECT_EQ(is_face, c.face);
        EXPECT_LT(cv::norm(state.shape, frame_points(), cv::NORM_INF), 1e-4);
        EXPECT_TRUE(state.history.empty());
    }
}

// Eye centre C = (50, 30), mouth centre Q = (50, 54): d = 24, so the cascade
// works in a box 3d = 72 wide centred d/2 below C, at (50, 42). A mean shape
// equal to the shape in that box fits exactly, and a stage voting (0.05,
// 0.05) for every point moves it 0.05 * 36 = 1.8 pixels each way.
TEST(AlignNinetyFivePoints, CascadeRefinesInTheBoxSpannedByEyesAndMouth) {
    const cv::Mat start = frame_points();
    test::ModelSpec model_desc;
    for (int i = 0; i < 95; ++i)
        model_desc.mean.insert(model_desc.mean.end(), {(start.at<float>(i, 0) - 50) / 36, (start.at<float>(i, 1) - 42) / 36});
    const test::TreeSpec one_leaf{{test::split(0, 0, 0, 1, 0, 0, 0.0f, 1, 1), test::leaf(0)}, 1};
    model_desc.stages = {test::StageSpec{{one_leaf}, 95, std::vector<float>(190, 0.05f)}};
    const std::string bytes = test::serializeLandmarkModel(model_desc);
    LandmarkModel model;
    std::string error;
    ASSERT_TRUE(model.parse(bytes.data(), bytes.size(), error)) << error;

    auto net = net_with(crop_points(), 0, 1);
    ASSERT_NE(net, nullptr);
    TrackedFace state;
    bool is_face = false;
    ASSERT_EQ(alignNinetyFivePoints(state, *net, model, kFrame, upright_face(), is_face), 0);
    EXPECT_LT(cv::norm(state.shape, frame_points({1.8f, 1.8f}), cv::NORM_INF), 1e-3);
}

TEST(AlignNinetyFivePoints, FailuresWriteNothing) {
    auto good = net_with(crop_points(), 0, 1);
    auto one_logit = load_dense_net({constant_head(std::vector<float>(190, 0.1f)), constant_head({1})});
    auto flat = net_with(cv::Mat(95, 2, CV_32FC1, cv::Scalar(30)), 0, 1);  // all points in one place
    ASSERT_TRUE(good && one_logit && flat);
    FaceRecord eyes_on_mouth;
    eyes_on_mouth.landmarks = (cv::Mat_<float>(5, 2) << 30, 30, 40, 30, 35, 30, 30, 30, 40, 30);
    const struct { Net* net; cv::Mat frame; FaceRecord face; } cases[] = {
        {good.get(), cv::Mat(), upright_face()},   {one_logit.get(), kFrame, upright_face()},
        {good.get(), kFrame, eyes_on_mouth}, {good.get(), kFrame, FaceRecord()},
        {flat.get(), kFrame, upright_face()}};
    for (const auto& c : cases) {
        TrackedFace state;
        state.shape = cv::Mat(95, 2, CV_32FC1, cv::Scalar(3.0f));
        bool is_face = true;
        EXPECT_EQ(alignNinetyFivePoints(state, *c.net, LandmarkModel(), c.frame, c.face, is_face), -1);
        EXPECT_TRUE(is_face && state.shape.at<float>(10, 1) == 3.0f && state.history.empty());
    }
}

// ---------------------------------------------------------------- smoothing

// Each point of the newest shape is blended over the history, newest first:
// every entry weighted by its age weight and a Gaussian of its distance to
// the newest position, whose width is a share of the eye distance (16 here):
// 0.05 for rows 0..18, 0.03 for rows 19..38, 0.02 for the rest.
TEST(SmoothShape, BlendsEveryPointOverItsHistoryByDistanceAndAge) {
    TrackedFace state;
    state.weights = {1.0f, 0.5f};  // an older entry counts clearly less
    const cv::Mat first = frame_points();
    ASSERT_EQ(smoothShape(state, first), 0);
    EXPECT_EQ(cv::norm(state.shape, first, cv::NORM_INF), 0.0);  // one entry: the shape itself
    cv::Mat second = frame_points({0.2f, 0});  // under every row's width
    second.at<float>(5, 0) += 20.0f;           // 25 widths: keeps its new place
    ASSERT_EQ(smoothShape(state, second), 0);
    for (int row = 0; row < 95; ++row) {
        const double sigma = static_cast<float>((row < 19 ? 0.05 : row < 39 ? 0.03 : 0.02) * 16.0);
        const cv::Point2d now = second.at<cv::Point2f>(row), then = first.at<cv::Point2f>(row);
        const double w_then = 0.5 * std::exp(-std::pow(cv::norm(then - now), 2) / (2 * sigma * sigma));
        const cv::Point2d want = (now + w_then * then) / (1 + w_then);
        EXPECT_NEAR(state.shape.at<float>(row, 0), want.x, 1e-4) << "row " << row;
        EXPECT_NEAR(state.shape.at<float>(row, 1), want.y, 1e-4) << "row " << row;
    }
    EXPECT_NEAR(state.shape.at<float>(5, 0), second.at<float>(5, 0), 1e-3);
    EXPECT_GT(state.shape.at<float>(70, 0), first.at<float>(70, 0) + 0.05f);  // a still point is averaged
    EXPECT_LT(state.shape.at<float>(70, 0), second.at<float>(70, 0) - 0.05f);
    EXPECT_NE(state.history.front().data, first.data);  // the history keeps its own copies
}

}  // namespace
}  // namespace kx
