#include "net/layers/concat_layer.h"

#include <cstring>

#include "net/console.h"

namespace kx {

bool ConcatLayer::setup(const BlobList& bottoms, BlobList& tops) {
    if (bottoms.size() < 2) return false;
    if (!has_param(params, "concat_dim")) return false;
    concat_dim_ = param_int(params, "concat_dim");
    if (concat_dim_ != 1) return false;

    channels_ = bottoms[0]->channels;
    height_ = bottoms[0]->height;
    width_ = bottoms[0]->width;
    long long channels = channels_;
    for (size_t k = 1; k < bottoms.size(); ++k) {
        if (bottoms[k]->height != height_ || bottoms[k]->width != width_) return false;
        channels += bottoms[k]->channels;
    }
    if (channels > 0x7fffffffLL) return false;
    channels_ = int(channels);

    return append_new_blob(tops, channels_, height_, width_);
}

void ConcatLayer::forward(const BlobList& bottoms, const BlobList& tops) {
    if (tops.empty()) {
        say_reshape_failed();
        return;
    }
    // Every bottom is copied whole, at the channel offset of the bottoms
    // before it. Check first that all of them still land inside the top, so
    // that a pass on grown bottoms writes nothing.
    const long long plane = (long long)height_ * width_;
    const long long capacity = tops[0]->count;
    long long offset = 0;
    for (const Blob* bottom : bottoms) {
        if (offset * plane + bottom->count > capacity) {
            say_reshape_failed();
            return;
        }
        offset += bottom->channels;
    }

    float* out = tops[0]->data;
    offset = 0;
    for (const Blob* bottom : bottoms) {
        if (bottom->count > 0) {
            std::memcpy(out + offset * plane, bottom->data, sizeof(float) * size_t(bottom->count));
        }
        offset += bottom->channels;
    }
}

}  // namespace kx
