#include "net/net.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "net/thread_pool.h"
#include "support/load_helpers.h"

namespace kx {
namespace {

using test::load_net;

// A single-input network that copies its input: its output is blob 0 as
// forward_image filled it.
ModelFile passthrough(int channels, int height, int width) {
    ModelFile m;
    m.channels = channels;
    m.height = height;
    m.width = width;
    m.layers.push_back({layer_params({{"type", "dropout"}}), {0}, {}, 0});
    m.outputs = {1};
    return m;
}

std::vector<float> values(const Blob* b) { return std::vector<float>(b->data, b->data + b->count); }

TEST(NetForward, NotReadyWithoutModel) {
    Net net;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(net.forward().empty());
    EXPECT_TRUE(net.forward_image(nullptr, 1, 1, 1).empty());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "cnn not ready\ncnn not ready\n");
}

TEST(NetForward, ReturnsOutputsInTheirListedOrder) {
    ModelFile m = passthrough(1, 1, 2);
    m.layers.push_back({layer_params({{"type", "relu"}}), {1}, {}, 0});
    m.outputs = {2, 0, 1};
    auto net = load_net(m);
    ASSERT_TRUE(net->ready);
    net->blobs[0]->data[0] = -3.0f;
    net->blobs[0]->data[1] = 4.0f;
    const BlobList out = net->forward();
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1], net->blobs[0]);
    EXPECT_EQ(values(out[0]), (std::vector<float>{0.0f, 4.0f}));
    EXPECT_EQ(values(out[2]), (std::vector<float>{-3.0f, 4.0f}));
}

// Pixels 0, 1, 2, ...; the channel count is 3 when the step holds at least
// three bytes per pixel, else 1, and must match the model as the size must.
TEST(NetForwardImage, FillsPlanesOrRefusesTheImage) {
    struct Case {
        const char* why;
        int channels, height, width, image_width, image_height, step;  // the model's, then the image's
        std::vector<float> planes;  // empty: refused
    };
    const Case cases[] = {
        {"interleaved colour becomes planes", 3, 1, 2, 2, 1, 6, {0, 3, 1, 4, 2, 5}},
        {"row padding is skipped", 1, 2, 2, 2, 2, 5, {0, 1, 5, 6}},
        {"grey", 1, 2, 4, 4, 2, 4, {0, 1, 2, 3, 4, 5, 6, 7}},
        {"colour rows one byte short are grey", 3, 2, 4, 4, 2, 11, {}},
        {"grey rows padded to 3 x width are colour", 1, 2, 4, 4, 2, 12, {}},
        {"wider image", 1, 2, 2, 3, 2, 3, {}},
        {"taller image", 1, 2, 2, 2, 3, 2, {}},
    };
    std::vector<unsigned char> pixels(64);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<unsigned char>(i);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        auto net = load_net(passthrough(c.channels, c.height, c.width));
        ASSERT_TRUE(net->ready);
        testing::internal::CaptureStdout();
        const BlobList out = net->forward_image(pixels.data(), c.image_width, c.image_height, c.step);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  c.planes.empty() ? "dimension not match: channels: " + std::to_string(c.channels) + "\n" : "");
        ASSERT_EQ(out.size(), c.planes.empty() ? 0u : 1u);
        if (!out.empty()) {
            EXPECT_EQ(values(out[0]), c.planes);
        }
    }
}


// A convolution whose top only feeds the rectifier after it writes the
// rectified maps itself. Checked against the same convolution left alone
// because something else also reads its top (a net output, another layer):
// the rectified maps must be the same bits, on one thread and on two.
TEST(NetRectifierFolding, GivesTheRectifiersBits) {
    struct Case {
        const char* why;
        int ksize, pad, stride;
        bool cross;
    };
    const Case cases[] = {
        {"3 x 3, padded: the product's rows are copied out", 3, 1, 1, false},
        {"1 x 1: the product writes the top itself", 1, 0, 1, false},
        {"5 x 5 cross, stride 2", 5, 2, 2, true},
        {"4 x 4, stride 4: the taps are unfolded", 4, 0, 4, false},
    };
    const int channels = 3, height = 13, width = 17, maps = 6;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        std::vector<float> weights;
        for (int i = 0; i < maps * channels * c.ksize * c.ksize + maps; ++i) {
            weights.push_back(float((i * 37) % 23) / 11.0f - 1.0f);
        }
        const std::string conv = layer_params({{"type", "conv"}, {"ksize", std::to_string(c.ksize)},
                                         {"pad", std::to_string(c.pad)}, {"stride", std::to_string(c.stride)},
                                         {"map_num", std::to_string(maps)}, {"use_cross_conv", c.cross ? "1" : "0"}});
        auto model = [&](bool also_read) {
            ModelFile m;
            m.channels = channels;
            m.height = height;
            m.width = width;
            m.layers = {{conv, {0}, weights}, {layer_params({{"type", "relu"}}), {1}, {}, 0}};
            if (also_read) m.layers.push_back({layer_params({{"type", "dropout"}}), {1}, {}, 0});
            m.outputs = {2};
            return m;
        };
        for (int threads : {1, 2}) {
            SCOPED_TRACE(threads);
            ThreadPool pool(threads);
            auto folded = load_net(model(false));
            auto plain = load_net(model(true));
            ASSERT_TRUE(folded->ready && plain->ready);
            folded->threads = plain->threads = &pool;
            for (Net* net : {folded.get(), plain.get()}) {
                for (int i = 0; i < net->blobs[0]->count; ++i) net->blobs[0]->data[i] = float((i * 29) % 31) - 15.0f;
                net->forward();
            }
            const std::vector<float> before = values(plain->blobs[1]);
            const std::vector<float> got = values(folded->blobs[2]);
            ASSERT_EQ(got.size(), before.size());
            int negative = 0;
            for (size_t i = 0; i < before.size(); ++i) {
                negative += before[i] < 0.0f;
                const float want = before[i] > 0.0f ? before[i] : 0.0f;
                ASSERT_EQ(std::memcmp(&got[i], &want, sizeof(float)), 0) << "value " << i;
            }
            EXPECT_GT(negative, 0);  // the rectifier had something to do
            EXPECT_EQ(values(plain->blobs[2]), got);
            EXPECT_EQ(values(plain->blobs[3]), before);  // the other reader saw the maps unrectified
        }
    }
}


// Three towers on the input (convolution, rectifier folded into it, pooling,
// fully connected), joined and read by a fully connected head. Towers of the
// same shapes run side by side on a pool; the bits must be those of one
// thread whatever the count, including three towers on two threads (two
// together, the third with its layers shared out).
ModelFile towers(const std::vector<int>& maps) {
    ModelFile m;
    m.channels = 2;
    m.height = 9;
    m.width = 11;
    std::vector<int> joined;
    for (int t = 0; t < int(maps.size()); ++t) {
        const int base = int(m.layers.size()) + 1;  // the id of this tower's first top
        std::vector<float> conv_weights;
        for (int i = 0; i < maps[size_t(t)] * 2 * 9 + maps[size_t(t)]; ++i) {
            conv_weights.push_back(float((i * 13 + t * 7) % 17) / 8.0f - 1.0f);
        }
        const int pooled = maps[size_t(t)] * 5 * 6;
        std::vector<float> fc_weights;
        for (int i = 0; i < 5 * pooled + 5; ++i) fc_weights.push_back(float((i * 11 + t) % 19) / 9.0f - 1.0f);
        m.layers.push_back({layer_params({{"type", "conv"}, {"ksize", "3"}, {"pad", "1"}, {"stride", "1"},
                                          {"map_num", std::to_string(maps[size_t(t)])}}),
                            {0}, conv_weights});
        m.layers.push_back({layer_params({{"type", "relu"}}), {base}, {}, 0});
        m.layers.push_back({layer_params({{"type", "pool"}, {"pool", "max"}, {"ksize", "2"}, {"ksize_h", "2"},
                                          {"ksize_w", "2"}, {"stride", "2"}}),
                            {base + 1}, {}, 0});
        m.layers.push_back({layer_params({{"type", "fullconnect"}, {"node_num", "5"}}), {base + 2}, fc_weights});
        joined.push_back(base + 3);
    }
    m.layers.push_back({layer_params({{"type", "concat"}, {"concat_dim", "1"}}), joined, {}, 0});
    std::vector<float> head;
    for (int i = 0; i < 3 * 5 * int(maps.size()) + 3; ++i) head.push_back(float((i * 7) % 13) / 6.0f - 1.0f);
    m.layers.push_back({layer_params({{"type", "fullconnect"}, {"node_num", "3"}}), {int(m.layers.size())}, head});
    m.outputs = {int(m.layers.size())};
    return m;
}

TEST(NetBranches, AlikeTowersRunSideBySideWithTheSameBits) {
    auto reference = load_net(towers({4, 4, 4}));
    ASSERT_TRUE(reference->ready);
    ASSERT_EQ(reference->side_by_side.size(), 1u);
    EXPECT_EQ(reference->side_by_side[0].branch_starts, (std::vector<size_t>{0, 4, 8}));
    EXPECT_EQ(reference->side_by_side[0].end, 12u);
    auto fill = [](Net& net) {
        for (int i = 0; i < net.blobs[0]->count; ++i) net.blobs[0]->data[i] = float((i * 29) % 31) - 15.0f;
    };
    fill(*reference);
    const std::vector<float> want = values(reference->forward()[0]);
    ASSERT_EQ(want.size(), 3u);
    for (int threads : {2, 3, 4}) {
        SCOPED_TRACE(threads);
        ThreadPool pool(threads);
        auto net = load_net(towers({4, 4, 4}));
        net->threads = &pool;
        fill(*net);
        for (int pass = 0; pass < 2; ++pass) {
            const std::vector<float> got = values(net->forward()[0]);
            ASSERT_EQ(got.size(), want.size());
            EXPECT_EQ(std::memcmp(got.data(), want.data(), want.size() * sizeof(float)), 0);
        }
    }
}

TEST(NetBranches, UnlikeTowersRunLayerByLayer) {
    // A tower of other widths would keep one thread busy while the others
    // wait: the run is not planned.
    auto net = load_net(towers({4, 4, 6}));
    ASSERT_TRUE(net->ready);
    EXPECT_TRUE(net->side_by_side.empty());
}

}  // namespace
}  // namespace kx
