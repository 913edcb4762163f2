#include "align/tracked_face.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kx {
namespace {

TEST(TrackedFace, FreshEntryHasZeroKeyPointsAndGaussianAgeWeights) {
    const TrackedFace entry;
    EXPECT_TRUE(entry.shape.empty() && entry.history.empty() && !entry.active && entry.history_limit == 30);
    EXPECT_EQ(cv::norm(entry.face.landmarks, cv::Mat::zeros(5, 2, CV_32FC1), cv::NORM_INF), 0.0);
    EXPECT_EQ(entry.face.points, std::vector<cv::Point2f>(5, cv::Point2f(0, 0)));
    ASSERT_EQ(entry.weights.size(), 30u);
    for (int a = 0; a < 30; ++a)  // sigma 10
        EXPECT_FLOAT_EQ(entry.weights[size_t(a)], float(std::exp(-a * a / 200.0) / std::sqrt(200.0 * CV_PI))) << a;
}

}  // namespace
}  // namespace kx
