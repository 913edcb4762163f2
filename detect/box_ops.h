#pragma once
#include <algorithm>
// Box arithmetic shared by the region proposal layer and the decoding of the
// detector's outputs. Boxes use the one-pixel convention of the detector's
// training: a box from x1 to x2 is x2 - x1 + 1 pixels wide.

namespace kx {

// Corners of a box in pixels (x1, y1) top-left, (x2, y2) bottom-right.
struct BoxF {
    float x1 = 0.0f;
    float y1 = 0.0f;
    float x2 = 0.0f;
    float y2 = 0.0f;
};

// Moves and scales `box` by the regression deltas (dx, dy, dw, dh): the
// centre moves by dx, dy box sizes and the sizes are multiplied by exp(dw),
// exp(dh). The deltas are not bounded, so a huge dw gives an infinite box.
BoxF applyBoxDeltas(const BoxF& box, const float deltas[4]);

// Intersection over union of two boxes with the one-pixel convention.
// Disjoint boxes give 0. Inline: suppression calls it for every pair.
inline float boxOverlap(const BoxF& a, const BoxF& b) {
    float iw = std::min(a.x2, b.x2) - std::max(a.x1, b.x1) + 1.0f;
    float ih = std::min(a.y2, b.y2) - std::max(a.y1, b.y1) + 1.0f;
    // "Not greater than 0" also catches NaN.
    if (!(iw > 0.0f)) iw = 0.0f;
    if (!(ih > 0.0f)) ih = 0.0f;
    const float inter = iw * ih;
    const float area_a = (a.x2 - a.x1 + 1.0f) * (a.y2 - a.y1 + 1.0f);
    const float area_b = (b.x2 - b.x1 + 1.0f) * (b.y2 - b.y1 + 1.0f);
    return inter / (area_a + area_b - inter);
}

// Float to int conversion that is defined for every input: truncates toward
// zero, saturates at the int range, and maps NaN to 0. A plain cast is
// undefined behaviour for NaN and out-of-range values.
int truncToInt(double value);

}  // namespace kx
