#include "net/layers/sigmoid_layer.h"

#include <cmath>

namespace kx {

bool SigmoidLayer::setup(const BlobList& bottoms, BlobList& tops) {
    return setup_same_shape(bottoms, tops, shape_);
}

void SigmoidLayer::forward(const BlobList& bottoms, const BlobList& tops) {
    map_values(bottoms, tops, [](float x) { return float(1.0 / (std::exp(-1.0 * double(x)) + 1.0)); });
}

}  // namespace kx
