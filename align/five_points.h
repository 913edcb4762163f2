#pragma once
// Five landmarks of one face from the five-point network.
#include <opencv2/core.hpp>

#include "net/net.h"

namespace kx {

// Cuts box out of the grey frame (padding with value-1 pixels where it leaves
// the frame), scales the cut to 60 x 60, runs net on it and maps the ten
// outputs back to frame pixels. points receives a 5 x 2 float matrix: rows
// are the network's landmarks in output order (eyes, nose, mouth corners).
//
// Returns 0 on success; -1 when the frame is empty, the box has no area or
// the network gives fewer than ten values. On -1 points is left as it was.
int alignFivePoints(Net& net, const cv::Mat& frame, const cv::Rect& box, cv::Mat& points);

}  // namespace kx
