#pragma once
#include <vector>

#include <opencv2/core.hpp>

namespace kx {

// One face: its box in image pixels, the detector's confidence, and (once
// aligned) five landmarks as a 5 x 2 float matrix and as a point list.
struct FaceRecord {
    cv::Mat landmarks;
    std::vector<cv::Point2f> points;
    cv::Rect box;
    float score = 0.0f;
};

}  // namespace kx
