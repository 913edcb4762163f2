#include "net/layers/dropout_layer.h"

#include <cstring>

#include "net/console.h"

namespace kx {

bool DropoutLayer::setup(const BlobList& bottoms, BlobList& tops) {
    return setup_following_shape(bottoms, tops, shape_);
}

bool DropoutLayer::reshape_top(const BlobList& bottoms, const BlobList& tops) {
    if (bottoms.size() != 1) return false;
    return reshape_to_bottom(bottoms, tops, shape_);
}

void DropoutLayer::forward(const BlobList& bottoms, const BlobList& tops) {
    if (!reshape_top(bottoms, tops)) {
        say_reshape_failed();
        return;
    }
    // After the reshape the top holds exactly the bottom's values.
    std::memcpy(tops[0]->data, bottoms[0]->data, sizeof(float) * size_t(bottoms[0]->count));
}

}  // namespace kx
