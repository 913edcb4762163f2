#pragma once
#include <vector>

namespace kx {

// Four-dimensional float tensor. Values are stored x fastest, then y, then
// channel, then item: element (n, c, y, x) sits at
// ((n * channels + c) * height + y) * width + x.
//
// Storage is always allocated anew by create/reshape and is never cleared;
// a refused shape leaves the blob exactly as it was.
struct Blob {
    float* data = nullptr;
    int channels = 0;
    int height = 0;
    int width = 0;
    int count = 0;
    int num = 0;

    Blob() = default;
    ~Blob();
    Blob(const Blob&) = delete;
    Blob& operator=(const Blob&) = delete;

    bool create(int channels, int height, int width);
    bool create(int channels, int height, int width, int num);
    bool reshape(int channels, int height, int width);
    bool reshape(int channels, int height, int width, int num);
};

using BlobList = std::vector<Blob*>;

// True when the blob has storage of exactly this shape. Layers whose tops
// keep their shape from one pass to the next check this before reshaping:
// fresh storage would be faulted in page by page on every pass.
bool has_shape(const Blob& b, int channels, int height, int width, int num = 1);

// reshape, unless the blob already has exactly this shape (then true, with
// its storage and values kept).
bool reshape_if_changed(Blob& b, int channels, int height, int width, int num = 1);

}  // namespace kx
