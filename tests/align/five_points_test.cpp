#include "align/five_points.h"

#include <gtest/gtest.h>

#include "landmark_nets.h"

namespace kx {
namespace {

using test::constant_head;
using test::load_dense_net;

cv::Mat random_frame(int rows, int cols) {
    cv::Mat frame(rows, cols, CV_8UC1);
    cv::RNG(3).fill(frame, cv::RNG::UNIFORM, 0, 256);
    return frame;
}

// Outputs -1..1 span the box, here reaching past the frame's left edge; both
// axes scale by its width (callers hand in squares), so on a 50 x 60 box
// y = 1 lands at box y + 50.
TEST(AlignFivePoints, OutputsSpanTheBoxByItsWidthAndFailuresWriteNothing) {
    auto net = load_dense_net({constant_head({-1, -1, 1, 1, 0, 0, -1, 1, 1, -1})});
    ASSERT_NE(net, nullptr);
    cv::Mat points;
    ASSERT_EQ(alignFivePoints(*net, random_frame(120, 120), cv::Rect(-10, 20, 50, 60), points), 0);
    const cv::Mat expected = (cv::Mat_<float>(5, 2) << -10, 20, 40, 70, 15, 45, -10, 70, 40, 20);
    ASSERT_EQ(points.type(), CV_32FC1);
    EXPECT_LT(cv::norm(points, expected, cv::NORM_INF), 1e-4);

    // Failures leave the points alone.
    auto short_net = load_dense_net({constant_head({0.1f, 0.2f, 0.3f, 0.4f})});  // fewer than ten values
    ASSERT_NE(short_net, nullptr);
    Net not_loaded;
    const cv::Mat frame = random_frame(50, 50);
    const struct { Net* net; cv::Mat frame; cv::Rect box; } cases[] = {
        {net.get(), cv::Mat(), {0, 0, 10, 10}}, {net.get(), frame, {0, 0, 10, 0}},
        {&not_loaded, frame, {0, 0, 10, 10}},   {short_net.get(), frame, {0, 0, 10, 10}}};
    for (const auto& c : cases) {
        EXPECT_EQ(alignFivePoints(*c.net, c.frame, c.box, points), -1);
        EXPECT_LT(cv::norm(points, expected, cv::NORM_INF), 1e-4);
    }
}

}  // namespace
}  // namespace kx
