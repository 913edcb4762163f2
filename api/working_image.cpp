#include "api/working_image.h"

#include <algorithm>

#include <opencv2/imgproc.hpp>

namespace kx {

float workingScale(int rows, int cols) {
    if (rows <= kWorkingImageBound && cols <= kWorkingImageBound) return 1.0f;
    const double by_rows = static_cast<double>(rows) / kWorkingImageBound;
    const double by_cols = static_cast<double>(cols) / kWorkingImageBound;
    return static_cast<float>(std::max(by_rows, by_cols));
}

cv::Mat makeWorkingImage(const cv::Mat& image, float scale) {
    cv::Mat resized;
    const double factor = 1.0 / scale;
    // A thin image (1 x 1281, say) would shrink to no row at all; it keeps
    // one. Every other image gets the size resize derives from the factor.
    const int cols = cvRound(image.cols * factor), rows = cvRound(image.rows * factor);
    if (cols < 1 || rows < 1) {
        cv::resize(image, resized, cv::Size(std::max(cols, 1), std::max(rows, 1)), factor, factor,
                   cv::INTER_LINEAR);
        return resized;
    }
    cv::resize(image, resized, cv::Size(), factor, factor, cv::INTER_LINEAR);
    return resized;
}

cv::Rect scaleBack(const cv::Rect& box, float scale) {
    return cv::Rect(static_cast<int>(static_cast<float>(box.x) * scale),
                    static_cast<int>(static_cast<float>(box.y) * scale),
                    static_cast<int>(static_cast<float>(box.width) * scale),
                    static_cast<int>(static_cast<float>(box.height) * scale));
}

cv::Mat scalePoints(const cv::Mat& points, float scale) {
    cv::Mat scaled = points * scale;
    return scaled;
}

bool isColourImage(const cv::Mat& image) {
    return !image.empty() && image.type() == CV_8UC3;
}

}  // namespace kx
