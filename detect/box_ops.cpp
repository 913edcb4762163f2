#include "detect/box_ops.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace kx {

BoxF applyBoxDeltas(const BoxF& box, const float deltas[4]) {
    const float w = box.x2 - box.x1 + 1.0f;
    const float h = box.y2 - box.y1 + 1.0f;
    // The centre is taken in double and rounded once; the exponentials too.
    const float cx = float(0.5 * double(w) + double(box.x1));
    const float cy = float(0.5 * double(h) + double(box.y1));

    const float pcx = cx + deltas[0] * w;
    const float pcy = cy + deltas[1] * h;
    const float pw = float(std::exp(double(deltas[2]))) * w;
    const float ph = float(std::exp(double(deltas[3]))) * h;

    BoxF out;
    out.x1 = float(double(pcx) - 0.5 * double(pw));
    out.y1 = float(double(pcy) - 0.5 * double(ph));
    out.x2 = float(double(pcx) + 0.5 * double(pw));
    out.y2 = float(double(pcy) + 0.5 * double(ph));
    return out;
}

int truncToInt(double value) {
    if (std::isnan(value)) return 0;
    if (value >= double(INT_MAX)) return INT_MAX;
    if (value <= double(INT_MIN)) return INT_MIN;
    return int(value);
}

}  // namespace kx
