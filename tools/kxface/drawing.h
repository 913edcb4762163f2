#pragma once
// Annotations drawn onto pictures and video frames.
#include <vector>

#include <opencv2/core.hpp>

namespace kxface {

// Face boxes in green, five-point sets in red, 95-point sets in yellow.
void drawBoxes(cv::Mat& image, const std::vector<cv::Rect>& boxes);
void drawPoints(cv::Mat& image, const std::vector<cv::Mat>& point_sets, const cv::Scalar& colour);

extern const cv::Scalar kFivePointColour;
extern const cv::Scalar kShapeColour;

}  // namespace kxface
