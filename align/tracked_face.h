#pragma once
// One per-face entry of the tracker: the face's current 95-point shape, its
// recent shapes with age weights (the state that temporal smoothing reads
// and updates), its five key points and whether it holds a tracked face.
// It lives with the alignment code because the 95-point method reads and
// writes it; the tracker (track/) and the tracker object (api/) hold entries.
#include <deque>
#include <vector>

#include <opencv2/core.hpp>

#include "detect/face_record.h"

namespace kx {

// Most shapes a face keeps in its history.
constexpr int kHistoryLimit = 30;

// Weight of a history entry by age a (0 = newest): a Gaussian of sigma 10,
// exp(-a^2 / 200) / sqrt(200 pi), computed in double and kept as float.
std::vector<float> historyAgeWeights();

// A face record whose five key points are zeros, as a fresh entry holds.
FaceRecord zeroKeyPoints();

struct TrackedFace {
    cv::Mat shape = cv::Mat(0, 0, CV_32FC1);  // 95 x 2 floats once aligned
    FaceRecord face = zeroKeyPoints();        // landmarks and points: the five key points
    std::deque<cv::Mat> history;              // recent shapes, oldest first
    std::vector<float> weights = historyAgeWeights();
    int history_limit = kHistoryLimit;
    bool active = false;
};

// A shape is valid when it has rows and its L2 norm is not 0.
bool isValidShape(const cv::Mat& shape);

// Zeros the shape's elements (when it has any) and clears active; history,
// weights and key points stay.
void resetTrackedFace(TrackedFace& entry);

}  // namespace kx
