#include "detect/roi_pooling_layer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "net/layers/single_layer_harness.h"
#include "net/thread_pool.h"

namespace kx {
namespace {

using test::LayerHarness;

// References from torchvision.ops.roi_pool (and an independent one for values
// below the -10000 start): corner rounding, bins, clamping and empty cells.
TEST(ROIPoolingLayer, MatchesReferencePooling) {
    const test::Fixture f = test::load_fixture("roi_pooling_fixtures.bin");
    for (const std::string& name : test::case_names(f)) {
        SCOPED_TRACE(name);
        LayerHarness h(f.text(name + ".params"));
        const test::Tensor& features = f.tensor(name + ".features");
        const test::Tensor& rois = f.tensor(name + ".rois");
        h.set_bottom(0, test::shape_of(features.dims), features.values);
        // Set up with one box, as a network is; the pass then meets them all.
        h.set_bottom(1, {5, 1, 1}, {0, 0, 0, 1, 1});
        ASSERT_TRUE(h.setup());
        h.set_bottom(1, {5, 1, 1, rois.dims[0]}, rois.values);
        EXPECT_EQ(h.run(), "");
        const test::Tensor& want = f.tensor(name + ".output");
        test::expect_shape(h.top(), test::shape_of(want.dims));
        EXPECT_EQ(h.top_values(), want.values);  // a maximum is a selection: exact
    }
}

// One box over a 4 x 4 map holding 1..16 row by row (no cell looks empty),
// pooled to a single cell: corners far beyond the map saturate, NaN counts
// as cell 0, and a batch index is truncated toward zero.
TEST(ROIPoolingLayer, NonFiniteAndHugeCornersStayInsideTheMap) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const struct { std::vector<float> row; const char* scale; float want; } cases[] = {
        {{0, nan, nan, 1, 1}, "1", 6},        {{0, 0, 0, nan, nan}, "1", 1},
        {{0, -inf, -inf, inf, inf}, "1", 16}, {{0, -1e30f, -1e30f, 1e30f, 1e30f}, "1", 16},
        {{0, 1, 1, 2, 2}, "nan", 1},          {{-0.5f, 1, 1, 1, 1}, "1", 6},
    };
    for (const auto& c : cases) {
        LayerHarness h(std::string("type:roipooling,pooled_w:1,pooled_h:1,spatial_scale:") + c.scale + ",");
        h.set_bottom(0, {1, 4, 4}, test::ramp(16, 1.0f));
        h.set_bottom(1, {5, 1, 1}, c.row);
        ASSERT_TRUE(h.setup());
        EXPECT_EQ(h.run(), "");
        EXPECT_EQ(h.top().data[0], c.want) << c.row[0] << " " << c.row[1] << " " << c.row[3] << " at " << c.scale;
    }
}

// Many boxes are pooled one per task: a pool gives the bits of a pass
// without one, and a negative batch index still ends the pass there; the
// rows after it read as zeros, not as what the top (kept from the pass
// before, as the box count has not changed) held.
TEST(ROIPoolingLayer, BoxesOnThreadsGiveTheSameBitsAndStopAtANegativeIndex) {
    constexpr int kBoxes = 40, kStop = 25;
    constexpr size_t kPerBox = 8 * 2 * 3;
    std::vector<float> rows;
    for (int r = 0; r < kBoxes; ++r) {
        const float x = float((r * 7) % 20), y = float((r * 5) % 12), side = float(2 + r % 9);
        rows.insert(rows.end(), {0.0f, x, y, x + side, y + 1.5f * side});
    }
    std::vector<float> stopped = rows;
    stopped[size_t(kStop) * 5] = -1.0f;

    ThreadPool pool(2);
    std::vector<float> whole, alone, shared;
    for (ThreadPool* threads : {static_cast<ThreadPool*>(nullptr), &pool}) {
        LayerHarness h("type:roipooling,pooled_w:3,pooled_h:2,spatial_scale:0.5,");
        h.set_bottom(0, {8, 16, 24});
        h.set_bottom(1, {5, 1, 1}, {0, 0, 0, 1, 1});
        ASSERT_TRUE(h.setup());
        h.layer->threads = threads;
        h.set_bottom(1, {5, 1, 1, kBoxes}, rows);
        EXPECT_EQ(h.run(), "");
        if (threads == nullptr) whole = h.top_values();
        h.set_bottom(1, {5, 1, 1, kBoxes}, stopped);
        EXPECT_EQ(h.run(), "");
        (threads ? shared : alone) = h.top_values();
    }
    ASSERT_EQ(alone, shared);
    ASSERT_EQ(alone.size(), kBoxes * kPerBox);
    // The boxes before the stop as in the whole pass, zeros after it.
    EXPECT_TRUE(std::equal(alone.begin(), alone.begin() + kStop * kPerBox, whole.begin()));
    EXPECT_TRUE(std::all_of(alone.begin() + kStop * kPerBox, alone.end(), [](float v) { return v == 0.0f; }));
    EXPECT_FALSE(std::all_of(whole.begin() + kStop * kPerBox, whole.end(), [](float v) { return v == 0.0f; }));
}

std::vector<uint32_t> bits_of(const std::vector<float>& values) {
    std::vector<uint32_t> bits(values.size());
    std::memcpy(bits.data(), values.data(), values.size() * sizeof(float));
    return bits;
}

// Channels are pooled several at a time; each must still come out as it
// does pooled alone, to the bit: of +0 and -0 the first visited stays, NaN
// is passed over, and a bin of nothing above the start value keeps it.
TEST(ROIPoolingLayer, ChannelsPooledTogetherGiveTheirOwnBits) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float palette[] = {0.0f, -0.0f, 0.0f, -0.0f, 1.5f, nan, -20000.0f, -0.0f};
    const std::vector<float> rows = {0, 0, 0, 6, 4,  0, 1, 1, 2, 2,   0, 3, 0, 9, 9,
                                     0, 5, 3, 5, 3,  0, 8, 8, 20, 20, 0, 2, 1, 4, 5};
    const int boxes = int(rows.size() / 5);
    const std::string params = "type:roipooling,pooled_w:3,pooled_h:2,spatial_scale:1,";
    auto pool = [&](int channels, const std::vector<float>& maps) {
        LayerHarness h(params);
        h.set_bottom(0, {channels, 5, 7}, maps);
        h.set_bottom(1, {5, 1, 1}, {0, 0, 0, 1, 1});
        EXPECT_TRUE(h.setup());
        h.set_bottom(1, {5, 1, 1, boxes}, rows);
        EXPECT_EQ(h.run(), "");
        return h.top_values();
    };
    for (int channels : {1, 3, 4, 5, 9}) {
        SCOPED_TRACE(channels);
        std::vector<float> maps(size_t(channels) * 35);
        for (size_t i = 0; i < maps.size(); ++i) maps[i] = palette[(i * 7 + i / 35) % 8];
        const std::vector<float> together = pool(channels, maps);
        ASSERT_EQ(together.size(), size_t(boxes) * channels * 6);
        for (int c = 0; c < channels; ++c) {
            const std::vector<float> map(maps.begin() + c * 35, maps.begin() + (c + 1) * 35);
            const std::vector<uint32_t> alone = bits_of(pool(1, map));
            for (int b = 0; b < boxes; ++b) {
                const auto first = together.begin() + (size_t(b) * channels + c) * 6;
                EXPECT_EQ(bits_of(std::vector<float>(first, first + 6)),
                          std::vector<uint32_t>(alone.begin() + b * 6, alone.begin() + (b + 1) * 6))
                    << "box " << b << ", channel " << c;
            }
        }
    }
    // The first zero visited stays, in every channel of a group.
    const std::vector<float> orders = {-0.0f, 0.0f, 0.0f, -0.0f, -0.0f, 0.0f, 0.0f, -0.0f, nan, -0.0f};
    LayerHarness h("type:roipooling,pooled_w:1,pooled_h:1,spatial_scale:1,");
    h.set_bottom(0, {5, 1, 2}, orders);
    h.set_bottom(1, {5, 1, 1}, {0, 0, 0, 1, 0});
    ASSERT_TRUE(h.setup());
    EXPECT_EQ(h.run(), "");
    for (int c = 0; c < 5; ++c) {
        const float want = std::isnan(orders[size_t(c) * 2]) ? orders[size_t(c) * 2 + 1] : orders[size_t(c) * 2];
        EXPECT_EQ(std::signbit(h.top().data[c]), std::signbit(want)) << "channel " << c;
        EXPECT_EQ(h.top().data[c], 0.0f);
    }
}

TEST(ROIPoolingLayer, NamesMissingKeysAndRefusesShortRows) {
    const test::Shape map{1, 4, 4}, box{5, 1, 1};
    const std::string good = "type:roipooling,pooled_w:2,pooled_h:2,spatial_scale:1,";
    const struct { std::string params; std::vector<test::Shape> bottoms; const char* said; } cases[] = {
        {good, {map, box, {3, 1, 1}}, "pre_data size is not 2\n"},
        {"type:roipooling,pooled_h:2,spatial_scale:1,", {map, box}, "pooled_w is not found\n"},
        {"type:roipooling,pooled_w:2,spatial_scale:1,", {map, box}, "pooled_h is not found\n"},
        {"type:roipooling,pooled_w:2,pooled_h:2,", {map, box}, "spatial scale is not found\n"},
        {"type:roipooling,pooled_w:0,pooled_h:2,spatial_scale:1,", {map, box}, ""},
        {good, {map, {4, 1, 1}}, ""},  // rows of four values would be read past their end
    };
    for (const auto& c : cases) {
        LayerHarness h(c.params);
        h.set_bottoms(c.bottoms);
        EXPECT_FALSE(h.setup()) << c.params;
        EXPECT_EQ(h.said, c.said) << c.params;
    }
    // Checked again on every pass; a failed pass also says it is skipped.
    LayerHarness h(good);
    h.set_bottoms({map, box});
    ASSERT_TRUE(h.setup());
    h.layer->params.erase("spatial_scale");
    EXPECT_EQ(h.run(), "spatial scale is not found\nfail to reshape top\n");
}

}  // namespace
}  // namespace kx
