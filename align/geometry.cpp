#include "align/geometry.h"

#include <cmath>
#include <cstdint>

#include <opencv2/imgproc.hpp>

namespace kx {

void cropWithPadding(const cv::Rect& box, const cv::Mat& frame, cv::Mat& out) {
    if (box.width <= 0 || box.height <= 0) {
        out = cv::Mat();
        return;
    }
    // 64-bit sums: a box far outside the frame must not wrap around.
    const int64_t x0 = box.x, y0 = box.y;
    const int64_t x1 = x0 + box.width, y1 = y0 + box.height;
    if (x0 >= 0 && y0 >= 0 && x1 <= frame.cols && y1 <= frame.rows) {
        out = frame(box);
        return;
    }
    // Same pixels as copying the frame into a canvas of ones grown by the
    // overhangs and cutting the box out of it, without building the canvas.
    out.create(box.height, box.width, frame.type());
    out.setTo(cv::Scalar::all(1));
    const int64_t ix0 = std::max<int64_t>(x0, 0), iy0 = std::max<int64_t>(y0, 0);
    const int64_t ix1 = std::min<int64_t>(x1, frame.cols), iy1 = std::min<int64_t>(y1, frame.rows);
    if (ix0 >= ix1 || iy0 >= iy1) return;
    const cv::Rect inside(static_cast<int>(ix0), static_cast<int>(iy0), static_cast<int>(ix1 - ix0),
                          static_cast<int>(iy1 - iy0));
    const cv::Rect target(static_cast<int>(ix0 - x0), static_cast<int>(iy0 - y0), inside.width,
                          inside.height);
    frame(inside).copyTo(out(target));
}

void cropResized(const cv::Rect& box, const cv::Mat& frame, int side, cv::Mat& out) {
    if (box.width <= 0 || box.height <= 0 || frame.empty() || side <= 0) {
        out = cv::Mat();
        return;
    }
    if (int64_t(box.width) * box.height <= kDirectCropPixels) {
        cv::Mat cut;
        cropWithPadding(box, frame, cut);
        cv::resize(cut, out, cv::Size(side, side), 0.0, 0.0, cv::INTER_LINEAR);
        return;
    }
    // Crop pixel (u, v) reads the box at ((u + 0.5) * width / side - 0.5,
    // likewise for v), as a bilinear resize does; the frame's surroundings
    // read as 1. For a box this large no sample lies near the box's own edge.
    const double fx = double(box.width) / side, fy = double(box.height) / side;
    const cv::Matx23d crop_to_frame(fx, 0.0, 0.5 * fx - 0.5 + box.x, 0.0, fy, 0.5 * fy - 0.5 + box.y);
    cv::warpAffine(frame, out, cv::Mat(crop_to_frame), cv::Size(side, side),
                   cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_CONSTANT, cv::Scalar::all(1));
}

int warpFromFivePoints(const cv::Mat& frame, const cv::Mat& points5, cv::Mat& crop,
                       cv::Mat& transform) {
    if (points5.rows != 5 || points5.cols != 2 || points5.type() != CV_32FC1) return -1;
    const cv::Point2f p0(points5.at<float>(0, 0), points5.at<float>(0, 1));
    const cv::Point2f p1(points5.at<float>(1, 0), points5.at<float>(1, 1));
    const cv::Point2f p3(points5.at<float>(3, 0), points5.at<float>(3, 1));
    const cv::Point2f p4(points5.at<float>(4, 0), points5.at<float>(4, 1));
    const cv::Point2f eye = (p0 + p1) * 0.5f;
    const cv::Point2f mouth = (p3 + p4) * 0.5f;
    const float dx = mouth.x - eye.x;
    const float dy = mouth.y - eye.y;
    const float d = std::sqrt(dx * dx + dy * dy);
    // Eyes on the mouth leave no triangle to fit.
    if (!(d > 0.0f) || !std::isfinite(d)) return -1;

    // The eye-to-mouth vector turned a quarter turn, placed at the mouth.
    const double a = std::atan2(static_cast<double>(dx), static_cast<double>(dy));
    const cv::Point2f third(static_cast<float>(mouth.x + std::cos(a) * d),
                            static_cast<float>(mouth.y - std::sin(a) * d));

    const cv::Point2f source[3] = {eye, mouth, third};
    const cv::Point2f target[3] = {cv::Point2f(30.0f, 14.0f), cv::Point2f(30.0f, 38.0f),
                                   cv::Point2f(54.0f, 38.0f)};
    transform = cv::getAffineTransform(source, target);
    cv::warpAffine(frame, crop, transform, cv::Size(kCropSide, kCropSide), cv::INTER_LINEAR,
                   cv::BORDER_REPLICATE, cv::Scalar(0));
    return 0;
}

cv::Mat cropToImageMatrix(const cv::Mat& transform) {
    if (transform.rows != 2 || transform.cols != 3 || transform.channels() != 1) return cv::Mat();
    cv::Mat full;
    transform.convertTo(full, CV_64F);
    cv::vconcat(full, cv::Mat((cv::Mat_<double>(1, 3) << 0.0, 0.0, 1.0)), full);
    cv::Mat inverse;
    if (cv::invert(full.t(), inverse, cv::DECOMP_LU) == 0.0) return cv::Mat();
    cv::Mat result;
    inverse.convertTo(result, CV_32F);
    return result;
}

void mapCropPointsToImage(const cv::Mat& points, const cv::Mat& inverseT, cv::Mat& out) {
    if (points.cols != 2 || points.type() != CV_32FC1 || inverseT.rows != 3 ||
        inverseT.cols != 3 || inverseT.type() != CV_32FC1) {
        out = cv::Mat();
        return;
    }
    const float half = static_cast<float>(kCropSide) / 2.0f;
    cv::Mat result(points.rows, 2, CV_32FC1);
    for (int i = 0; i < points.rows; ++i) {
        const float* p = points.ptr<float>(i);
        // Network units to crop pixels, then the row (x, y, 1) times inverseT.
        const double x = p[0] * half + half;
        const double y = p[1] * half + half;
        float* o = result.ptr<float>(i);
        for (int j = 0; j < 2; ++j) {
            o[j] = static_cast<float>(x * inverseT.at<float>(0, j) + y * inverseT.at<float>(1, j) +
                                      inverseT.at<float>(2, j));
        }
    }
    out = result;
}

}  // namespace kx
