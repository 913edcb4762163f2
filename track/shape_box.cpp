#include "track/shape_box.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace kx {

namespace {

cv::Point2f row(const cv::Mat& shape, int r) {
    return cv::Point2f(shape.at<float>(r, 0), shape.at<float>(r, 1));
}

}  // namespace

cv::Rect boxFromShape(const cv::Mat& shape) {
    if (shape.rows != 95 || shape.cols != 2 || shape.type() != CV_32FC1) return cv::Rect();
    // Float sums in this order; the results feed integer boxes, so the order
    // decides the last bit where a coordinate sits on a pixel edge.
    const cv::Point2f c = (row(shape, 45) + row(shape, 51) + row(shape, 39) + row(shape, 57)) * 0.25f;
    const cv::Point2f m = (row(shape, 91) + row(shape, 87)) * 0.5f;
    const cv::Point2f diff = c - m;
    const float d = static_cast<float>(
        std::sqrt(static_cast<double>(diff.x) * diff.x + static_cast<double>(diff.y) * diff.y));
    return cv::Rect(static_cast<int>(static_cast<double>(c.x) - 1.5 * static_cast<double>(d)),
                    static_cast<int>(c.y - d), static_cast<int>(3.0f * d),
                    static_cast<int>(3.0f * d));
}

float rectOverlap(const cv::Rect& a, const cv::Rect& b) {
    // 64-bit corners and areas: boxes from wild shapes must not overflow.
    const int64_t ax2 = int64_t(a.x) + a.width, ay2 = int64_t(a.y) + a.height;
    const int64_t bx2 = int64_t(b.x) + b.width, by2 = int64_t(b.y) + b.height;

    const int64_t outer_w = std::max(ax2, bx2) - std::min<int64_t>(a.x, b.x);
    const int64_t outer_h = std::max(ay2, by2) - std::min<int64_t>(a.y, b.y);
    if (outer_w < 1 || outer_h < 1) return 0.0f;

    const int64_t inner_w = std::min(ax2, bx2) - std::max<int64_t>(a.x, b.x);
    const int64_t inner_h = std::min(ay2, by2) - std::max<int64_t>(a.y, b.y);
    const int64_t inner_area = (inner_w > 0 && inner_h > 0) ? inner_w * inner_h : 0;
    return static_cast<float>(static_cast<double>(inner_area) / static_cast<double>(outer_w * outer_h));
}

}  // namespace kx
