// Model files whose numbers are extreme: every size computation is checked,
// a network that needs more than its blob budget is refused at load with one
// line, and what loads runs without overflowing anything. The sanitizer build
// turns any overflow these cases reach into a failure.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "net/blob.h"
#include "net/net.h"
#include "support/load_helpers.h"

namespace kx {
namespace {

struct Loaded {
    bool ok = false;
    std::string said;
};

Loaded load(Net& net, const ModelFile& model) {
    Loaded r;
    testing::internal::CaptureStdout();
    r.ok = test::load_bytes(net, serialize_model(model), model.two_inputs);
    r.said = testing::internal::GetCapturedStdout();
    return r;
}

ModelFile one_layer(int c, int h, int w, const std::string& params, std::vector<float> weights = {}) {
    ModelFile m;
    m.channels = c;
    m.height = h;
    m.width = w;
    LayerRecord layer;
    layer.params = params;
    layer.bottoms = {0};
    layer.weights = std::move(weights);
    layer.weights_flag = layer.weights.empty() ? 0 : 1;
    m.layers = {layer};
    m.outputs = {1};
    return m;
}

const std::string kBudgetLine = "model needs more than 2048 MiB of blobs at its input size\n";

// Four factors of 2^22 pass 64 bits: the count must not wrap to something
// small that then "fits".
TEST(ExtremeNumbers, BlobCountsThatPassSixtyFourBitsAreRefused) {
    Blob b;
    EXPECT_THROW(b.create(1 << 22, 1 << 22, 1 << 22), std::bad_alloc);
    EXPECT_THROW(b.create(1 << 16, 1 << 16, 1 << 16, 1 << 16), std::bad_alloc);
    EXPECT_THROW(b.reshape(INT_MAX, INT_MAX, INT_MAX, INT_MAX), std::bad_alloc);
    EXPECT_THROW(b.create(1 << 20, 1 << 20, 1 << 20, 4), std::bad_alloc);  // 2^62 floats: bytes pass 64 bits
    EXPECT_TRUE(b.data == nullptr && b.count == 0);

    Net net;
    const Loaded r = load(net, one_layer(1 << 22, 1 << 22, 1 << 22, "type:pool,ksize:2,ksize_w:0,ksize_h:0,"));
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(net.ready);
}

// Input 1 x 32767 x 32767 is just under 4 GiB, and every layer adds as much:
// refused at load, with one line, before the first pass could need it.
TEST(ExtremeNumbers, NetworksBeyondTheBlobBudgetAreRefusedAtLoad) {
    ModelFile m = one_layer(1, 32767, 32767, "type:relu,");
    Net net;
    Loaded r = load(net, m);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.said, kBudgetLine);

    // Just over 1 GiB: the input fits, its relu does not.
    m = one_layer(1, 16385, 16384, "type:relu,");
    Net second;
    r = load(second, m);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.said, kBudgetLine);

    // The budget is the network's own; a smaller one refuses a small model.
    Net small;
    small.blob_budget = 64;  // bytes: the 4 x 4 input alone, not its relu
    r = load(small, one_layer(1, 4, 4, "type:relu,"));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.said, "model needs more than 0 MiB of blobs at its input size\n");
    Net fits;
    fits.blob_budget = 128;
    r = load(fits, one_layer(1, 4, 4, "type:relu,"));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.said, "");
}

// Weights the file does not hold are not read into, however large the layer
// says they are: the load fails as a short file.
TEST(ExtremeNumbers, WeightsBeyondTheFileFailTheLoad) {
    ModelFile m = one_layer(1, 4, 4, "type:conv,ksize:3,map_num:2,", std::vector<float>(5, 1.0f));
    Net net;
    const Loaded r = load(net, m);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(net.ready);
}

// Stride 2^31 - 1 with pad 2 on a 4 x 4 input: one output, whose window
// covers input (0, 0) with the kernel's last tap only. The column bounds
// must not wrap.
TEST(ExtremeNumbers, ConvolutionWithAHugeStrideReadsOnlyTheImage) {
    std::vector<float> weights = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0.5f};  // 3 x 3 kernel, bias
    ModelFile m = one_layer(1, 4, 4, "type:conv,ksize:3,stride:2147483647,pad:2,map_num:1,", weights);
    Net net;
    ASSERT_TRUE(load(net, m).ok);
    ASSERT_EQ(net.blobs[1]->count, 1);
    for (int i = 0; i < 16; ++i) net.blobs[0]->data[i] = float(i + 1);
    testing::internal::CaptureStdout();
    const BlobList out = net.forward();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->data[0], 9.0f * 1.0f + 0.5f);

    // Pad near the int range: the output size overflows 32 bits and is refused.
    Net padded;
    EXPECT_FALSE(load(padded, one_layer(1, 4, 4, "type:conv,ksize:3,stride:1,pad:2147483647,map_num:1,",
                                        weights)).ok);
}

// C * ksize * ksize passes 64 bits for ksize = 2^31 - 1 and three channels.
TEST(ExtremeNumbers, ConvolutionKernelSizeNearTheIntRangeIsRefused) {
    Net net;
    const Loaded r = load(net, one_layer(3, 4, 4, "type:conv,ksize:2147483647,pad:1073741824,map_num:1,"));
    EXPECT_FALSE(r.ok);
    Net wide;
    EXPECT_FALSE(load(wide, one_layer(3, 4, 4, "type:conv,ksize:65536,pad:40000,map_num:1,")).ok);
}

// Window, stride and pad 2^22 on a 1 x 1 input: the one window that holds
// the value covers 2^22 x 2^22 positions, whose count passes 32 bits.
TEST(ExtremeNumbers, AveragePoolingDivisorDoesNotWrap) {
    const std::string k = std::to_string(1 << 22);
    ModelFile m = one_layer(1, 1, 1, "type:pool,pool:ave,ksize:" + k + ",ksize_w:0,ksize_h:0,stride:" + k +
                                         ",pad:" + k + ",");
    Net net;
    ASSERT_TRUE(load(net, m).ok);
    net.blobs[0]->data[0] = 3.0f;
    testing::internal::CaptureStdout();
    const BlobList out = net.forward();
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(out[0]->count, 4);
    const float want = 3.0f / float(int64_t(1) << 44);
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(std::isfinite(out[0]->data[i])) << i;
        EXPECT_EQ(out[0]->data[i], i == 3 ? want : 0.0f) << i;
    }
}

}  // namespace
}  // namespace kx
