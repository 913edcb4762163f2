#include "net/blob.h"

#include <cstddef>
#include <cstdint>
#include <new>

#include "net/blob_budget.h"

namespace kx {

namespace {

// Shared by the four shape operations. `check_num` distinguishes reshape
// (refuses num <= 0) from create (whose callers always pass num >= 1).
bool assign_shape(Blob& b, int c, int h, int w, int n, bool check_num) {
    if (c <= 0 || h <= 0 || w <= 0) return false;
    if (check_num ? n <= 0 : n < 0) return false;

    // Checked products: four int32 factors can pass even 64 bits.
    int64_t count = 0;
    const bool overflows = __builtin_mul_overflow(int64_t(c), int64_t(h), &count) ||
                           __builtin_mul_overflow(count, int64_t(w), &count) ||
                           __builtin_mul_overflow(count, int64_t(n), &count);
    // The byte size must fit in 32 bits; anything larger is an allocation
    // failure, reported as the standard out-of-memory exception.
    const bool too_large = overflows || count > int64_t(UINT32_MAX) / 4;
    if (!too_large) BlobBudget::charge(count * 4 - int64_t(b.count) * 4);

    delete[] b.data;
    b.data = nullptr;
    b.channels = c;
    b.height = h;
    b.width = w;
    b.num = n;

    if (too_large) {
        b.count = 0;
        throw std::bad_alloc();
    }
    b.count = int(count);
    b.data = new float[size_t(count)];
    return true;
}

}  // namespace

Blob::~Blob() { delete[] data; }

bool has_shape(const Blob& b, int channels, int height, int width, int num) {
    return b.data != nullptr && b.channels == channels && b.height == height && b.width == width && b.num == num;
}

bool reshape_if_changed(Blob& b, int channels, int height, int width, int num) {
    return has_shape(b, channels, height, width, num) || b.reshape(channels, height, width, num);
}

bool Blob::create(int c, int h, int w) { return assign_shape(*this, c, h, w, 1, false); }
bool Blob::create(int c, int h, int w, int n) { return assign_shape(*this, c, h, w, n, false); }
bool Blob::reshape(int c, int h, int w) { return assign_shape(*this, c, h, w, 1, true); }
bool Blob::reshape(int c, int h, int w, int n) { return assign_shape(*this, c, h, w, n, true); }

}  // namespace kx
