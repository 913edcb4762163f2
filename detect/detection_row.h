#pragma once

namespace kx {

// One detected face as the detection run hands it back: the box's top-left
// corner, its width and height (x2 - x1 and y2 - y1, no +1) and the face
// score, all in input pixels.
struct DetectionRow {
    float x = 0.0f;
    float y = 0.0f;
    float width = 0.0f;
    float height = 0.0f;
    float score = 0.0f;
};

}  // namespace kx
