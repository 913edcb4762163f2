#pragma once
// Boxes derived from 95-point shapes and the overlap measure the face
// tracker uses to tell faces apart.
#include <opencv2/core.hpp>

namespace kx {

// A square around the face of a 95 x 2 float shape: c is the mean of the
// four eye rows (45, 51, 39, 57), m the mean of the mouth corners (91, 87),
// d = |c - m|; the box is (c.x - 1.5 d, c.y - d) with side 3 d, truncated.
// A shape that is not 95 x 2 floats gives an empty rectangle.
cv::Rect boxFromShape(const cv::Mat& shape);

// Area of a & b over the area of the smallest rectangle holding both (not
// the union): 0 for rectangles that do not overlap or only touch, and 0 when
// the enclosing rectangle has no extent.
float rectOverlap(const cv::Rect& a, const cv::Rect& b);

}  // namespace kx
