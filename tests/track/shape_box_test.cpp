#include "track/shape_box.h"

#include <gtest/gtest.h>

namespace kx {
namespace {

// A 95-point shape whose eye rows average to c and whose mouth corners
// average to m; every other row is far away, so a box that used it would show.
cv::Mat shapeWith(cv::Point2f c, cv::Point2f m) {
    cv::Mat shape(95, 2, CV_32FC1, cv::Scalar(1000.0f));
    const auto put = [&](int row, cv::Point2f p) {
        shape.at<float>(row, 0) = p.x;
        shape.at<float>(row, 1) = p.y;
    };
    put(39, c + cv::Point2f(-12, 1));
    put(45, c + cv::Point2f(-4, -1));
    put(51, c + cv::Point2f(4, 2));
    put(57, c + cv::Point2f(12, -2));
    put(87, m + cv::Point2f(-10, 0));
    put(91, m + cv::Point2f(10, 0));
    return shape;
}

TEST(BoxFromShape, SquareOfThreeEyeToMouthDistancesTruncated) {
    // d = 20: x = 100 - 30, y = 50 - 20, side 60.
    EXPECT_EQ(boxFromShape(shapeWith({100, 50}, {100, 70})), cv::Rect(70, 30, 60, 60));
    // Tilted, d = 5 (3-4-5): x = 10 - 7.5 truncates to 2, y = 10 - 5.
    EXPECT_EQ(boxFromShape(shapeWith({10, 10}, {13, 14})), cv::Rect(2, 5, 15, 15));
    // Towards zero: x = 0.5 - 2.25 = -1.75 -> -1, side 4.5 -> 4.
    EXPECT_EQ(boxFromShape(shapeWith({0.5f, 0.5f}, {0.5f, 2.0f})), cv::Rect(-1, -1, 4, 4));
    EXPECT_EQ(boxFromShape(cv::Mat()), cv::Rect());
    EXPECT_EQ(boxFromShape(cv::Mat::ones(5, 2, CV_32FC1)), cv::Rect());
}

TEST(RectOverlap, IntersectionOverEnclosingRectangle) {
    const struct {
        cv::Rect a, b;
        double expected;
    } cases[] = {
        {{0, 0, 10, 10}, {5, 0, 10, 10}, 50.0 / 150.0},   // side by side: 0.333
        {{0, 0, 10, 10}, {5, 5, 10, 10}, 25.0 / 225.0},   // the union would give 25 / 175
        {{0, 0, 20, 20}, {5, 5, 10, 10}, 100.0 / 400.0},  // one inside the other
        {{3, 4, 10, 10}, {3, 4, 10, 10}, 1.0},
        {{0, 0, 10, 10}, {10, 0, 10, 10}, 0.0},  // touching
        {{0, 0, 10, 10}, {10, 10, 5, 5}, 0.0},   // touching at a corner
        {{0, 0, 5, 0}, {2, 0, 5, 0}, 0.0},       // no height
        {{-1000000000, -1000000000, 2000000000, 2000000000}, {0, 0, 2000000, 2000000}, 1e-6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.a << " " << c.b);
        EXPECT_NEAR(rectOverlap(c.a, c.b), c.expected, 1e-7);
        EXPECT_EQ(rectOverlap(c.a, c.b), rectOverlap(c.b, c.a));
    }
}

}  // namespace
}  // namespace kx
