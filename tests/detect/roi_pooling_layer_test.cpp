#include "detect/roi_pooling_layer.h"

#include <gtest/gtest.h>

#include <algorithm>
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
