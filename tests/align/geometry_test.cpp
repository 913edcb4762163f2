#include "align/geometry.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace kx {
namespace {

// A grey frame whose pixels all differ from 0 and 1 and from their
// neighbours, so padding, black and repeated edges are told apart.
cv::Mat patterned_frame(int rows, int cols) {
    cv::Mat frame(rows, cols, CV_8UC1);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x) frame.at<uchar>(y, x) = static_cast<uchar>(50 + (3 * x + 7 * y) % 200);
    return frame;
}

TEST(CropWithPadding, BoxInsideIsAViewAndOverhangsArePaddedWithOnes) {
    const cv::Mat frame = patterned_frame(23, 31);
    cv::Mat out;
    cropWithPadding(cv::Rect(5, 7, 20, 10), frame, out);
    EXPECT_EQ(out.data, frame.ptr<uchar>(7) + 5);
    EXPECT_EQ(out.size(), cv::Size(20, 10));
    for (const cv::Rect& box : {cv::Rect(-1, 0, 20, 20), cv::Rect(25, 18, 15, 15), cv::Rect(-4, 10, 40, 6),
                                cv::Rect(10, -8, 5, 40), cv::Rect(-20, -20, 10, 10), cv::Rect(-3, -3, 37, 29)}) {
        // Reference: the frame framed by value-1 pixels wide enough for the box.
        const int left = std::max(-box.x, 0), top = std::max(-box.y, 0);
        cv::Mat canvas;
        cv::copyMakeBorder(frame, canvas, top, std::max(box.y + box.height - frame.rows, 0), left,
                           std::max(box.x + box.width - frame.cols, 0), cv::BORDER_CONSTANT, cv::Scalar(1));
        cropWithPadding(box, frame, out);
        ASSERT_EQ(out.size(), box.size()) << box;
        EXPECT_EQ(cv::norm(out, canvas(box + cv::Point(left, top)), cv::NORM_INF), 0.0) << box;
    }
    cropWithPadding(cv::Rect(2, 2, 0, 5), frame, out);
    EXPECT_TRUE(out.empty());
}

// Eye centre (10, 4) and mouth centre (10, 28) lie 24 pixels apart, as the
// crop's (30, 14) and (30, 38) do: the crop is the frame moved by (20, 10),
// neither turned nor scaled, with the frame's edges repeated beyond it.
TEST(WarpFromFivePoints, UprightFaceIsOnlyMoved) {
    const cv::Mat frame = patterned_frame(40, 40);
    const cv::Mat points = (cv::Mat_<float>(5, 2) << 0, 4, 20, 4, 10, 16, 4, 28, 16, 28);
    cv::Mat crop, t;
    ASSERT_EQ(warpFromFivePoints(frame, points, crop, t), 0);
    const cv::Mat expected = (cv::Mat_<double>(2, 3) << 1, 0, 20, 0, 1, 10);
    EXPECT_LT(cv::norm(t, expected, cv::NORM_INF), 1e-9);
    ASSERT_EQ(crop.size(), cv::Size(60, 60));
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 60; ++x)
            ASSERT_EQ(crop.at<uchar>(y, x), frame.at<uchar>(std::clamp(y - 10, 0, 39), std::clamp(x - 20, 0, 39)))
                << "crop (" << x << ", " << y << ")";
}

// A tilted, scaled face: the crop's eye centre (30, 14), mouth centre
// (30, 38) and third point (54, 38) come back to E, M and H = M + (dy, -dx),
// the eye-to-mouth vector (dx, dy) turned a quarter turn at the mouth.
TEST(MapCropPointsToImage, DestinationTriangleComesBackToEyesMouthAndThirdPoint) {
    const cv::Point2f e(61.5f, 47.25f), m(70.0f, 90.0f), h(m.x + (m.y - e.y), m.y - (m.x - e.x));
    const cv::Mat points = (cv::Mat_<float>(5, 2) << e.x - 14, e.y + 3, e.x + 14, e.y - 3, 66, 70, m.x - 12,
                            m.y + 2, m.x + 12, m.y - 2);
    cv::Mat crop, t;
    ASSERT_EQ(warpFromFivePoints(patterned_frame(140, 140), points, crop, t), 0);
    const cv::Mat units = (cv::Mat_<float>(3, 2) << 0.0f, -16.0f / 30, 0.0f, 8.0f / 30, 24.0f / 30, 8.0f / 30);
    cv::Mat out;
    mapCropPointsToImage(units, cropToImageMatrix(t), out);
    ASSERT_EQ(out.size(), cv::Size(2, 3));
    const cv::Mat expected = (cv::Mat_<float>(3, 2) << e.x, e.y, m.x, m.y, h.x, h.y);
    EXPECT_LT(cv::norm(out, expected, cv::NORM_INF), 1e-3);
}

}  // namespace
}  // namespace kx
