#include "net/layers/same_shape.h"

#include "net/layer.h"

namespace kx {

bool setup_same_shape(const BlobList& bottoms, BlobList& tops, PlaneShape& shape) {
    if (bottoms.size() != 1) return false;
    const Blob& bottom = *bottoms[0];
    shape.channels = bottom.channels;
    shape.height = bottom.height;
    shape.width = bottom.width;
    return append_new_blob(tops, shape.channels, shape.height, shape.width);
}

bool setup_following_shape(const BlobList& bottoms, BlobList& tops, ItemShape& shape) {
    if (bottoms.size() != 1) return false;
    const Blob& bottom = *bottoms[0];
    shape.channels = bottom.channels;
    shape.height = bottom.height;
    shape.width = bottom.width;
    shape.num = 1;
    return append_new_blob(tops, shape.channels, shape.height, shape.width);
}

bool reshape_to_bottom(const BlobList& bottoms, const BlobList& tops, ItemShape& shape) {
    if (bottoms.empty() || tops.empty()) return false;
    const Blob& bottom = *bottoms[0];
    Blob& top = *tops[0];
    shape.channels = bottom.channels;
    shape.height = bottom.height;
    shape.width = bottom.width;
    shape.num = bottom.num;
    // A bottom of zero items would still give a one-item top, which it cannot
    // fill: refuse it before the top loses its storage.
    if (bottom.num < 1 || bottom.data == nullptr) return false;
    return reshape_if_changed(top, shape.channels, shape.height, shape.width, shape.num);
}

bool bottom_holds(const BlobList& bottoms, const BlobList& tops, long long needed) {
    return !bottoms.empty() && !tops.empty() && bottoms[0]->count >= needed;
}

bool bottom_covers_top(const BlobList& bottoms, const BlobList& tops) {
    return !tops.empty() && bottom_holds(bottoms, tops, tops[0]->count);
}

}  // namespace kx
