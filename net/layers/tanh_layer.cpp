#include "net/layers/tanh_layer.h"

#include <cmath>

namespace kx {

bool TanhLayer::setup(const BlobList& bottoms, BlobList& tops) {
    return setup_same_shape(bottoms, tops, shape_);
}

void TanhLayer::forward(const BlobList& bottoms, const BlobList& tops) {
    map_values(bottoms, tops, [](float x) {
        const float twice = 2.0f * x;
        // The exponential is deliberately narrowed to float before use.
        const float e = float(std::exp(double(twice)));
        return float((double(e) - 1.0) / (double(e) + 1.0));
    });
}

}  // namespace kx
