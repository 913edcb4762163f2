#include "net/layers/flatten_layer.h"

#include <cstring>

#include "net/console.h"
#include "net/layers/same_shape.h"

namespace kx {

bool FlattenLayer::setup(const BlobList& bottoms, BlobList& tops) {
    if (bottoms.size() != 1) return false;
    const Blob& bottom = *bottoms[0];
    channels_ = bottom.channels * bottom.height * bottom.width;
    height_ = 1;
    width_ = 1;
    return append_new_blob(tops, channels_, height_, width_);
}

void FlattenLayer::forward(const BlobList& bottoms, const BlobList& tops) {
    if (!bottom_covers_top(bottoms, tops)) {
        say_reshape_failed();
        return;
    }
    std::memcpy(tops[0]->data, bottoms[0]->data, sizeof(float) * size_t(tops[0]->count));
}

}  // namespace kx
