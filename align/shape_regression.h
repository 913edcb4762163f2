#pragma once
// Refinement of a 95-point shape with the regression cascade: at each stage
// pixel-difference tests, placed relative to the current shape, drop through
// the stage's trees; the reached leaves vote a shape increment in the box's
// normalised units, which is turned back into the frame's orientation and
// added.
#include <opencv2/core.hpp>

#include "align/landmark_model.h"

namespace kx {

class ThreadPool;

// The box that normalises shape coordinates:
// u = (x - centre_x) / (width / 2), v = (y - centre_y) / (height / 2).
struct ShapeBox {
    float x = 0.0f;
    float y = 0.0f;
    float width = 0.0f;
    float height = 0.0f;
    float centre_x = 0.0f;
    float centre_y = 0.0f;
};

// Frame pixels to normalised units and back (N x 2 float shapes).
cv::Mat projectShape(const cv::Mat& shape, const ShapeBox& box);
cv::Mat reprojectShape(const cv::Mat& shape, const ShapeBox& box);

// Rotation and scale that best carry the centred shape b onto the centred
// shape a (both L x 2 floats). Returns false, leaving rotation and scale as
// they were, when either shape has no spread or the two differ in size.
bool similarityTransform(const cv::Mat& a, const cv::Mat& b, cv::Matx22f& rotation,
                         float& scale);

// One stage on the working shape (L x 2 floats in frame pixels, L the
// stage's width) over an 8-bit single-channel frame: increment receives the
// L x 2 vote, turned to the frame's orientation, in normalised units.
// Returns false when the shape gives no usable similarity to the mean shape.
bool predictStage(const RegressionStage& stage, const LandmarkModel& model, const cv::Mat& frame,
                  const cv::Mat& shape, const ShapeBox& box, cv::Mat& increment);

// Runs at most the first four stages on shape (95 x 2 floats, frame pixels)
// and writes the refined points back. A 64-point model works on rows 19..62
// and 75..94 only. Returns 0; -1 with shape untouched when the frame is not
// 8-bit single-channel, the shape is not 95 x 2 floats, the box has no size
// or the geometry degenerates (no spread to measure rotation and scale).
// The trees' work is shared out on `threads` when given; the result is the
// same to the bit.
int predictShape(const LandmarkModel& model, const cv::Mat& frame, cv::Mat& shape,
                 const ShapeBox& box, ThreadPool* threads = nullptr);

}  // namespace kx
