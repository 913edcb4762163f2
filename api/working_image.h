#pragma once
// The working image of the detecting entry points: the caller's image shrunk
// so that neither side exceeds 640 pixels, and the way back to its pixels.
#include <opencv2/core.hpp>

namespace kx {

constexpr int kWorkingImageBound = 640;

// max(rows / 640, cols / 640) when either side exceeds 640 pixels, else 1.
float workingScale(int rows, int cols);

// The image resized by 1 / scale (bilinear; done even at scale 1, which also
// gives a continuous copy).
cv::Mat makeWorkingImage(const cv::Mat& image, float scale);

// A working-image box in the caller's pixels: every field times scale,
// truncated.
cv::Rect scaleBack(const cv::Rect& box, float scale);

// A point set (N x 2 floats) times scale, as a new matrix.
cv::Mat scalePoints(const cv::Mat& points, float scale);

// Whether an image can be handed to the entry points: non-empty, 8-bit,
// three channels.
bool isColourImage(const cv::Mat& image);

}  // namespace kx
