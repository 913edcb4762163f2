#include "drawing.h"

#include <algorithm>

#include <opencv2/imgproc.hpp>

namespace kxface {

const cv::Scalar kFivePointColour(0, 0, 255);
const cv::Scalar kShapeColour(0, 255, 255);

namespace {

// Line widths and dot sizes that stay visible on large pictures.
int strokeFor(const cv::Mat& image) { return std::max(1, std::max(image.cols, image.rows) / 640); }

}  // namespace

void drawBoxes(cv::Mat& image, const std::vector<cv::Rect>& boxes) {
    for (const cv::Rect& box : boxes) cv::rectangle(image, box, cv::Scalar(0, 255, 0), strokeFor(image));
}

void drawPoints(cv::Mat& image, const std::vector<cv::Mat>& point_sets, const cv::Scalar& colour) {
    const int radius = 1 + strokeFor(image);
    for (const cv::Mat& points : point_sets) {
        if (points.type() != CV_32FC1 || points.cols != 2) continue;
        for (int r = 0; r < points.rows; ++r) {
            const cv::Point2f p(points.at<float>(r, 0), points.at<float>(r, 1));
            cv::circle(image, p, radius, colour, cv::FILLED);
        }
    }
}

}  // namespace kxface
