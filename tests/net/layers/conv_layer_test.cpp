#include "net/layers/im2col.h"
#include "net/layers/single_layer_harness.h"

namespace kx::test {
namespace {

std::string conv(int ksize, int stride, int pad, int maps) {
    return "type:conv,ksize:" + std::to_string(ksize) + ",stride:" + std::to_string(stride) +
           ",pad:" + std::to_string(pad) + ",map_num:" + std::to_string(maps) + ",";
}

// The cross-mode cases keep their full kernels while torch saw only the
// middle row and column, so they also show that the other taps are ignored.
// Each case is also set up on a smaller bottom: the detector feeds images of
// any size, and the layer must follow them.
TEST(ConvLayer, MatchesTorchAlsoAfterTheInputSizeChanged) {
    const Fixture f = load_fixture("conv_fixtures.bin");
    for (const std::string& n : case_names(f)) {
        for (int shrink : {0, 2}) {
            SCOPED_TRACE(n + " shrink " + std::to_string(shrink));
            expect_fixture(f, f.text(n + ".params"), {n + ".input"}, {n + ".kernels", n + ".biases"},
                           n + ".output", 2e-5, 0.0, shrink);
        }
    }
}

// Against the definition, element by element: no pad, pad wider than the
// kernel reaches, strides that skip the last columns, a window as big as the
// input, and taps that reach no column of the image at all.
TEST(Im2col, NormalAndCrossColumnsFollowTheDefinition) {
    const int cases[][5] = {{1, 1, 0, 4, 5},  {3, 2, 1, 9, 5},   {2, 1, 1, 4, 11}, {5, 3, 3, 4, 11},
                            {4, 3, 2, 12, 13}, {7, 2, 0, 7, 7}, {17, 1, 8, 6, 7}};  // k, stride, pad, h, w
    for (const auto& c : cases) {
        const int k = c[0], s = c[1], p = c[2], h = c[3], w = c[4];
        SCOPED_TRACE(testing::Message() << "k" << k << " s" << s << " p" << p << " " << h << "x" << w);
        const int oh = (h + 2 * p - k) / s + 1, ow = (w + 2 * p - k) / s + 1;
        const std::vector<float> in = random_values(size_t(2 * h * w), unsigned(k * 100 + h));
        for (bool cross : {false, true}) {
            std::vector<int> taps = cross ? cross_taps(k) : std::vector<int>{};
            for (int t = 0; !cross && t < k * k; ++t) taps.push_back(t);
            std::vector<float> want;
            for (int ch = 0; ch < 2; ++ch)
                for (int tap : taps)
                    for (int oy = 0; oy < oh; ++oy)
                        for (int ox = 0; ox < ow; ++ox) {
                            const int y = oy * s - p + tap / k, x = ox * s - p + tap % k;
                            const bool inside = y >= 0 && y < h && x >= 0 && x < w;
                            want.push_back(inside ? in[size_t((ch * h + y) * w + x)] : 0.0f);
                        }
            std::vector<float> cols(want.size(), -7.0f);
            (cross ? cross_im2col : im2col)(in.data(), 2, h, w, k, p, s, cols.data());
            EXPECT_EQ(cols, want) << (cross ? "cross" : "normal");
        }
    }
}

TEST(ConvLayer, RefusalsAndMessages) {
    const Shape b{2, 8, 8};
    expect_refused({
        {conv(5, 1, 0, 2), {{2, 4, 8}}}, {conv(3, 1, 0, 2), {{2, 2, 2}}},  // input below the kernel, output size 0
        {"type:conv,map_num:2,", {b}}, {"type:conv,ksize:3,", {b}}, {conv(3, 1, 0, 0), {b}},
        {conv(3, 0, 0, 2), {b}}, {conv(3, -1, 0, 2), {b}}, {conv(3, 1, -1, 2), {b}}, {conv(0, 1, 0, 2), {b}},
        {conv(3, 1, 0, 2), {b, b}}, {conv(3, 1, 0, 2), {}},
    });
    expect_runs({
        {conv(5, 1, 0, 2), {b}, {{2, 4, 4}}, kSkipped},     // output size 0
        {conv(5, 1, 0, 2), {b}, {{3, 8, 8}}, kSkipped},     // kernels were made for 2 channels
        {conv(5, 1, 0, 2), {b}, {{2, 8, 8, 0}}, kSkipped},  // no item
        {conv(5, 1, 0, 2), {b}, {b, b}, kSkipped},
    });
}

}  // namespace
}  // namespace kx::test
