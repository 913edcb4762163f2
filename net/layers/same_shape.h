#pragma once
// Pieces shared by the layers whose single top has the shape of their single
// bottom.
#include <algorithm>

#include "net/blob.h"
#include "net/console.h"
#include "net/thread_pool.h"

namespace kx {

// Channels, height and width of the bottom as a layer recorded them.
struct PlaneShape {
    int channels = 0;
    int height = 0;
    int width = 0;
};

// The same, with the item count, for layers that follow the bottom's shape
// on every pass.
struct ItemShape {
    int channels = 0;
    int height = 0;
    int width = 0;
    int num = 0;
};

// Set-up of the sigmoid and tanh layers: exactly one bottom; records its
// channels, height and width and appends a new top of that shape.
bool setup_same_shape(const BlobList& bottoms, BlobList& tops, PlaneShape& shape);

// Set-up of the relu and dropout layers: as above, with an item count of 1.
bool setup_following_shape(const BlobList& bottoms, BlobList& tops, ItemShape& shape);

// Start of a pass for layers that follow the bottom (relu, dropout,
// softmax): records bottom 0's channels, height, width and item count and
// reshapes top 0 to them, with a single item unless there are two or more.
// False, with nothing reshaped or the pass unsafe, when a list is empty, the
// bottom has no usable shape, or the top would hold more values than the
// bottom (a bottom of zero items).
bool reshape_to_bottom(const BlobList& bottoms, const BlobList& tops, ItemShape& shape);

// Element-wise passes of at least this many values are shared out on the
// layer's threads, in chunks of kElementChunk values; shorter ones run on
// the calling thread.
constexpr int kElementChunk = 64 * 1024;
constexpr int kParallelElements = 2 * kElementChunk;

// f(begin, end) over [0, n) in chunks, on `pool` when n is large enough.
template <typename Chunk>
void for_element_chunks(ThreadPool* pool, int n, Chunk f) {
    if (n < kParallelElements) {
        f(0, n);
        return;
    }
    const int chunks = (n + kElementChunk - 1) / kElementChunk;
    parallel_for(pool, chunks, [&](int chunk, int) {
        const int begin = chunk * kElementChunk;
        f(begin, std::min(n, begin + kElementChunk));
    });
}

// Guard for layers that keep the shape fixed at set-up: true when there is a
// bottom that still holds at least `needed` values and there is a top. When
// the bottom has since become smaller (the network was given a smaller
// input), reading `needed` values would run past it.
bool bottom_holds(const BlobList& bottoms, const BlobList& tops, long long needed);

// The same guard for layers that read as many bottom values as their top
// holds.
bool bottom_covers_top(const BlobList& bottoms, const BlobList& tops);

// The pass of the sigmoid and tanh layers: top value i = value_of(bottom
// value i) over the top, after the guard above.
template <typename ValueOf>
void map_values(const BlobList& bottoms, const BlobList& tops, ValueOf value_of) {
    if (!bottom_covers_top(bottoms, tops)) {
        say_reshape_failed();
        return;
    }
    const float* x = bottoms[0]->data;
    float* y = tops[0]->data;
    const int n = tops[0]->count;
    for (int i = 0; i < n; ++i) y[i] = value_of(x[i]);
}

}  // namespace kx
