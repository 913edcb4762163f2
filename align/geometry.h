#pragma once
// Geometry shared by the landmark methods: cutting a face box out of a frame,
// warping a face into the fixed 60 x 60 crop from its five points, and
// carrying points found in that crop back into the frame.
//
// Point sets are N x 2 matrices of 32-bit floats, one point (x, y) per row.
#include <cstdint>

#include <opencv2/core.hpp>

namespace kx {

// Side of the square crop both landmark networks look at.
constexpr int kCropSide = 60;

// out receives the box's pixels. A box inside the frame gives a view sharing
// the frame's pixels; a box reaching outside gives a new image whose pixels
// outside the frame are 1 (not black, not the edge repeated). A box without
// area gives an empty out.
void cropWithPadding(const cv::Rect& box, const cv::Mat& frame, cv::Mat& out);

// Boxes up to this many pixels are cut out whole (cropWithPadding) and then
// resized; larger ones are sampled straight into the small crop, so that a
// box of any size needs no more memory than the crop itself.
constexpr int64_t kDirectCropPixels = int64_t(4096) * 4096;

// The box's pixels (1 outside the frame, as cropWithPadding gives them)
// resized bilinearly to side x side. Up to kDirectCropPixels the result is
// exactly cv::resize of the cut; beyond, each crop pixel is interpolated
// from the frame at the position resize would read, without the cut. Empty
// out for a box without area or an empty frame.
void cropResized(const cv::Rect& box, const cv::Mat& frame, int side, cv::Mat& out);

// Warps the frame into a 60 x 60 crop that puts the eye centre at (30, 14),
// the mouth centre at (30, 38) and turns the face upright. points5 is the
// 5 x 2 five-point set (eyes, nose, mouth corners); transform receives the
// 2 x 3 double frame-to-crop matrix. Returns 0, or -1 (nothing written) when
// points5 is not a 5 x 2 float set or the eyes sit on the mouth.
int warpFromFivePoints(const cv::Mat& frame, const cv::Mat& points5, cv::Mat& crop,
                       cv::Mat& transform);

// The 3 x 3 float matrix that mapCropPointsToImage multiplies row points by:
// the inverse of the frame-to-crop transform, transposed. Empty when the
// transform is not a 2 x 3 matrix or cannot be inverted.
cv::Mat cropToImageMatrix(const cv::Mat& transform);

// points: N x 2 floats in network units (-1..1 across the crop); inverseT:
// the matrix of cropToImageMatrix. out receives N x 2 floats in frame pixels,
// or is left empty when either input has the wrong shape.
void mapCropPointsToImage(const cv::Mat& points, const cv::Mat& inverseT, cv::Mat& out);

}  // namespace kx
