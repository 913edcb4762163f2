#pragma once
// Following faces through a video, one call per frame: the detector runs only
// every few frames, in between the five key points of each face move with
// pyramidal optical flow and the 95 points are re-fitted from them.
#include <vector>

#include <opencv2/core.hpp>

#include "api/tracker.h"
#include "detect/detector.h"

namespace kx {

// Detection schedule: the countdown grows by 1 per call while faces are
// tracked and by 4 while none is; detection runs when it is back at 0.
constexpr int kCountdownPeriod = 20;
constexpr int kCountdownStepTracking = 1;
constexpr int kCountdownStepIdle = 4;
// Overlap (rectOverlap) above which two face boxes are the same face.
constexpr float kSameFaceOverlap = 0.2f;

// One tracking step on an 8-bit three-channel frame at full size. Returns a
// copy of the shape (95 x 2 floats, frame pixels) of every active entry, in
// entry order.
//
// `previous_grey` is the grey image of the last call; it is replaced by this
// frame's. A frame whose size differs from it starts tracking afresh: every
// entry is reset and the detector runs on this frame, since optical flow
// cannot compare images of two sizes. `detector` may be null (no detection).
// A tracker without entries tracks nothing and returns an empty list.
// `detector_ran`, when given, tells whether this call ran the detector.
std::vector<cv::Mat> trackFaces(Tracker& tracker, Detector* detector, cv::Mat& previous_grey,
                                const cv::Mat& frame, bool* detector_ran = nullptr);

}  // namespace kx
