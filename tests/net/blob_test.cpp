#include "net/blob.h"

#include <gtest/gtest.h>

#include <new>
#include <vector>

namespace kx {
namespace {

std::vector<int> shape(const Blob& b) { return {b.channels, b.height, b.width, b.num, b.count}; }

// Refused shapes leave the blob exactly as it was; a size beyond 32-bit byte
// counts is an allocation failure that leaves it empty but usable.
TEST(Blob, RefusedShapes) {
    Blob b;
    ASSERT_TRUE(b.create(2, 2, 2));
    for (int i = 0; i < 8; ++i) b.data[i] = float(i);
    float* const before = b.data;
    EXPECT_FALSE(b.create(3, 0, 5));
    EXPECT_FALSE(b.create(-1, 2, 2));
    EXPECT_FALSE(b.create(2, 2, 2, -1));
    EXPECT_FALSE(b.reshape(4, 5, 6, 0));  // unlike create, reshape wants an item
    EXPECT_FALSE(b.reshape(4, 5, -6));
    EXPECT_EQ(b.data, before);
    EXPECT_EQ(shape(b), (std::vector<int>{2, 2, 2, 1, 8}));
    for (int i = 0; i < 8; ++i) EXPECT_EQ(b.data[i], float(i));

    EXPECT_THROW(b.create(1 << 15, 1 << 15, 2), std::bad_alloc);
    EXPECT_TRUE(b.data == nullptr && b.count == 0);
    EXPECT_TRUE(b.reshape(3, 1, 1));
    EXPECT_EQ(shape(b), (std::vector<int>{3, 1, 1, 1, 3}));
}

}  // namespace
}  // namespace kx
