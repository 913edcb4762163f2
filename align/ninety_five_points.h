#pragma once
// The 95 landmarks of one face: the 95-point network on the eye-and-mouth
// aligned crop gives coarse points and a face score, the regression cascade
// refines the points, and a face that already has a shape is smoothed over
// its recent shapes.
#include <opencv2/core.hpp>

#include "align/landmark_model.h"
#include "align/tracked_face.h"
#include "detect/face_record.h"
#include "net/net.h"

namespace kx {

// Reads face.landmarks (the 5 x 2 five-point set). On success sets
// state.shape to the 95 x 2 float shape in frame pixels, writes isFace (face
// score above 0.5) and returns 0. Returns -1 and writes nothing when the
// frame has no rows, the five points are missing or degenerate (eyes on the
// mouth), the network gives no usable outputs (fewer than two, or fewer than
// 190 point values and 2 logits) or the shape collapses to a point.
int alignNinetyFivePoints(TrackedFace& state, Net& net95, const LandmarkModel& model,
                          const cv::Mat& frame, const FaceRecord& face, bool& isFace);

// Blends shape (95 x 2 floats) with the state's history, newest first, into
// state.shape, after appending it to the history (oldest dropped past the
// history limit). A point that moved far keeps its new place; one that
// stayed is averaged. Returns 0; -1 with nothing changed for a shape that is
// not 95 x 2 floats or whose eyes coincide.
int smoothShape(TrackedFace& state, const cv::Mat& shape);

// Writes the five-point set of a 95-point shape into points5 (made 5 x 2
// floats if it is not): the two eye centres, the nose, the mouth corners.
// Returns 0; -1 when shape95 is not 95 x 2 floats.
int fivePointsFromShape(const cv::Mat& shape95, cv::Mat& points5);

}  // namespace kx
