#pragma once
#include <vector>

#include "detect/detection_row.h"

namespace kx {

// Turns the detector network's candidates into scored face boxes.
//
//   info        image height, image width, scale (3 values)
//   candidates  number of candidates N
//   boxes       N rows (batch index, x1, y1, x2, y2) in scaled input pixels
//   deltas      8 values per candidate: background dx, dy, dw, dh, then face
//   probs       2 values per candidate: background, face
//
// Each box is mapped back by the scale, moved by its face deltas, clipped at
// the outward edges of the image, and the boxes are suppressed greedily
// (overlap above 0.3) in score order, stopping at the first score below
// `threshold`. Rows are (x1, y1, x2 - x1, y2 - y1, score), best first.
std::vector<DetectionRow> decodeDetections(const float* info, int candidates, const float* boxes,
                                           const float* deltas, const float* probs, float threshold);

}  // namespace kx
