#include <algorithm>
#include <cmath>
#include <cstring>

#include "net/layers/single_layer_harness.h"

namespace kx::test {
namespace {

std::string pool(int ksize, int stride, int pad, const std::string& method = "max") {
    return "type:pool,ksize:" + std::to_string(ksize) + ",ksize_w:0,ksize_h:0,stride:" + std::to_string(stride) +
           ",pad:" + std::to_string(pad) + ",pool:" + method + ",";
}

// Torch with ceil mode where its size rule agrees, numpy windows elsewhere.
TEST(PoolLayer, MatchesReferences) {
    const Fixture f = load_fixture("pool_fixtures.bin");
    for (const std::string& n : case_names(f)) {
        SCOPED_TRACE(n);
        expect_fixture(f, f.text(n + ".params"), {n + ".input"}, {}, n + ".output", 1e-6, 0.0);
    }
}

TEST(PoolLayer, OutputSizeRoundsUpButNoWindowStartsInTheEndPadding) {
    const int cases[][5] = {  // size, ksize, stride, pad, output size
        {5, 2, 2, 0, 3},  // ceil(3 / 2) + 1: the last window covers one row
        {4, 3, 2, 1, 3},  // ceil(3 / 2) + 1; (3 - 1) * 2 < 4 + 1 keeps 3
        {4, 2, 2, 1, 3},  // ceil(4 / 2) + 1 = 4; 3 * 2 >= 4 + 1 drops one
        {3, 2, 2, 1, 2},  // ceil(3 / 2) + 1 = 3; 2 * 2 >= 3 + 1 drops one
        {6, 1, 3, 0, 3},  // no pad, no correction
        {2, 3, 2, 0, 1},  // window larger than the input: ceil(-1 / 2) + 1
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "size " << c[0] << " k " << c[1] << " s " << c[2] << " p " << c[3]);
        LayerHarness h(pool(c[1], c[2], c[3]));
        h.set_bottom(0, {2, c[0], c[0]});
        ASSERT_TRUE(h.setup());
        expect_shape(h.top(), {2, c[4], c[4]});
    }
}

TEST(PoolLayer, EdgeValues) {
    expect_values({
        {"max starts at -10000", pool(2, 2, 0), {1, 2, 4},
         {-20000, -30000, -5, -20000, -10001, -10000.5f, -20000, -7}, {-10000, -5}},
        // The top keeps its set-up size: windows past a smaller bottom give 0,
        // a larger bottom is read only where the windows fall.
        {"smaller bottom", pool(2, 2, 0), {2, 6, 6}, ramp(18, 1),
         {5, 6, 0, 8, 9, 0, 0, 0, 0, 14, 15, 0, 17, 18, 0, 0, 0, 0}, {2, 3, 3}, {2, 3, 3}},
        {"larger bottom", pool(2, 2, 0), {2, 6, 6}, ramp(300),
         {11, 13, 15, 31, 33, 35, 51, 53, 55, 111, 113, 115, 131, 133, 135, 151, 153, 155}, {2, 3, 3},
         {3, 10, 10}},
    });
}

// The 2 x 2 stride-2 windows go eight at a time: every output must be the
// comparison chain of the definition to the bit (-10000 first, then the
// four values in reading order, NaN never taken, +0 not above -0), at every
// position of a vector and in the scalar rest, on odd sizes with a window
// cut by the edge.
TEST(PoolLayer, WholeTwoByTwoWindowsGiveTheComparisonChainToTheBit) {
    for (int width : {16, 17, 19, 35}) {
        for (int height : {2, 5}) {
            SCOPED_TRACE(testing::Message() << height << " x " << width);
            // Few distinct values, so that windows hold ties (-0 and +0,
            // -10000 against the start) and NaN next to numbers.
            std::vector<float> x = random_values(size_t(2 * height * width), unsigned(width + height));
            const float values[] = {std::nanf(""), -0.0f, 0.0f, -20000.0f, -10000.0f, 1.5f, -1.0f};
            for (float& v : x) v = values[size_t(std::fabs(v) * 1000.0f) % 7];
            LayerHarness h(pool(2, 2, 0));
            h.set_bottom(0, {2, height, width}, x);
            ASSERT_TRUE(h.setup());
            EXPECT_EQ(h.run(), "");
            const int oh = (height + 1) / 2, ow = (width + 1) / 2;
            expect_shape(h.top(), {2, oh, ow});
            const std::vector<float> got = h.top_values();
            for (int c = 0; c < 2; ++c) {
                for (int oy = 0; oy < oh; ++oy) {
                    for (int ox = 0; ox < ow; ++ox) {
                        float best = -10000.0f;
                        for (int y = 2 * oy; y < std::min(2 * oy + 2, height); ++y) {
                            for (int xx = 2 * ox; xx < std::min(2 * ox + 2, width); ++xx) {
                                const float v = x[size_t((c * height + y) * width + xx)];
                                if (v > best) best = v;
                            }
                        }
                        const float g = got[size_t((c * oh + oy) * ow + ox)];
                        EXPECT_EQ(std::memcmp(&g, &best, sizeof g), 0)
                            << c << "," << oy << "," << ox << ": " << g << " for " << best;
                    }
                }
            }
        }
    }
}

TEST(PoolLayer, RefusalsAndMessages) {
    const Shape b{2, 6, 6};
    expect_refused({
        {"type:pool,ksize_w:2,ksize_h:2,", {b}}, {"type:pool,ksize:2,ksize_h:2,", {b}},
        {"type:pool,ksize:2,ksize_w:2,", {b}}, {"type:pool,ksize:0,ksize_w:0,ksize_h:0,stride:1,", {b}},
        {"type:pool,ksize:2,ksize_w:-1,ksize_h:0,", {b}}, {"type:pool,ksize:0,ksize_w:2,ksize_h:2,", {b}},
        {pool(2, 0, 0), {b}}, {pool(2, -2, 0), {b}}, {pool(2, 2, -1), {b}}, {pool(9, 1, 0), {b}},
        {pool(2, 2, 0, "MAX"), {b}}, {pool(2, 2, 0, "avg"), {b}}, {pool(2, 2, 0, "ave "), {b}},
        {pool(2, 2, 0), {b, b}}, {pool(2, 2, 0), {}},
    });
    expect_runs({
        {pool(2, 2, 0, "ave"), {{3, 4, 4}}, {{2, 4, 4}}, kSkipped},
        {pool(2, 2, 0, "ave"), {{3, 4, 4}}, {{3, 4, 4, 0}}, kSkipped},
    });
}

}  // namespace
}  // namespace kx::test
