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
