// The layers that need no column matrix: element-wise (relu, dropout,
// sigmoid, tanh, prelu), normalising (softmax, lrn, l2norm) and shape
// (concat, flatten, reshape) layers.
#include "net/layers/single_layer_harness.h"
#include "net/thread_pool.h"

namespace kx::test {
namespace {

std::string prelu(int level, int c, int h, int w) {
    return "type:prelu,param_level:" + std::to_string(level) + ",channels:" + std::to_string(c) +
           ",height:" + std::to_string(h) + ",width:" + std::to_string(w) + ",";
}

std::string reshape(int d1, int d2, int d3, int d4) {
    return "type:reshape,reshape_dim1:" + std::to_string(d1) + ",reshape_dim2:" + std::to_string(d2) +
           ",reshape_dim3:" + std::to_string(d3) + ",reshape_dim4:" + std::to_string(d4) + ",";
}

TEST(SigmoidTanhLayers, MatchTorch) {
    const Fixture f = load_fixture("sigmoid_tanh_layer_ref.bin");
    // Sigmoid is computed in double and rounded once. Tanh rounds exp(2x) to
    // float first, which costs up to half a float step of 1 near 0.
    expect_fixture(f, f.text("sigmoid.params"), {"bottom"}, {}, "sigmoid.top", 0.0, 1.2e-7);
    expect_fixture(f, f.text("tanh.params"), {"bottom"}, {}, "tanh.top", 7e-8, 1.2e-7);
}

// One float product per value, so the results agree exactly.
TEST(PReluLayer, MatchesTorchAtEveryLevel) {
    const Fixture f = load_fixture("prelu_layer_ref.bin");
    for (const std::string l : {"level0", "level1", "level2"}) {
        SCOPED_TRACE(l);
        expect_fixture(f, f.text(l + ".params"), {l + ".bottom"}, {l + ".slopes"}, l + ".top", 0.0, 0.0);
    }
}

// Set up on one item, run on two; the bottom must then hold exp(v - max).
// v - max is rounded to float before the exponential, which costs up to
// |v - max| * 6e-8 relative: below 1e-6 for inputs within about +-10.
TEST(SoftmaxLayer, MatchesTorchAndLeavesExponentialsInTheBottom) {
    const Fixture f = load_fixture("softmax_layer_ref.bin");
    expect_fixture(f, f.text("params"), {"bottom"}, {}, "top", 1e-9, 1e-6, 0, "exponentials");
}

// Positions are shared out on threads in spans; a map wider than several
// spans (the last one partial) gives the same bits on a pool as without, and
// every position is a softmax of its own channels, at the span edges too.
TEST(SoftmaxLayer, SpansOnThreadsGiveTheSameBits) {
    const Shape shape{3, 101, 99};  // 9,999 positions
    const std::vector<float> values = random_values(3 * 101 * 99, 7);
    std::vector<float> alone, shared;
    for (const int threads : {0, 3}) {
        ThreadPool pool(3);
        LayerHarness h("type:softmax,");
        h.set_bottom(0, shape, values);
        ASSERT_TRUE(h.setup());
        h.layer->threads = threads ? &pool : nullptr;
        EXPECT_EQ(h.run(), "");
        (threads ? shared : alone) = h.top_values();
    }
    ASSERT_EQ(alone, shared);
    const size_t plane = 101 * 99;
    for (const size_t p : {size_t(0), size_t(4095), size_t(4096), size_t(8191), size_t(8192), plane - 1}) {
        double e[3], sum = 0.0;
        const double top = std::max({values[p], values[plane + p], values[2 * plane + p]});
        for (int c = 0; c < 3; ++c) sum += e[c] = std::exp(double(values[size_t(c) * plane + p]) - top);
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(alone[size_t(c) * plane + p], e[c] / sum, 1e-6) << p;
    }
}

TEST(LrnLayer, MatchesTorchLocalResponseNorm) {
    const Fixture f = load_fixture("lrn_layer_ref.bin");
    for (const std::string name : {"k5", "k3", "narrow"}) {
        SCOPED_TRACE(name);
        const std::string bottom = name == "narrow" ? "narrow.bottom" : "bottom";
        expect_fixture(f, f.text(name + ".params"), {bottom}, {}, name + ".top", 1e-8, 1e-6);
    }
}

TEST(L2normLayer, MatchesTorchAcrossAndPerPlane) {
    const Fixture f = load_fixture("l2norm_layer_ref.bin");
    for (const std::string mode : {"across", "planes"}) {
        SCOPED_TRACE(mode);
        expect_fixture(f, f.text(mode + ".params"), {"bottom"}, {}, mode + ".top", 1e-9, 5e-7);
    }
}

TEST(ConcatLayer, MatchesTorchCatOverChannels) {
    const Fixture f = load_fixture("concat_layer_ref.bin");
    expect_fixture(f, f.text("params"), {"bottom0", "bottom1", "bottom2"}, {}, "top", 0, 0);
}

TEST(ReshapeLayer, MatchesTorchReshape) {
    const Fixture f = load_fixture("reshape_layer_ref.bin");
    for (const std::string name : {"infer_channels", "keep_channels", "keep_all", "explicit"}) {
        SCOPED_TRACE(name);
        expect_fixture(f, f.text(name + ".params"), {"bottom"}, {}, name + ".top", 0, 0);
    }
}

// Only the within-channel lrn says anything, and on stderr.
TEST(SimpleLayers, EdgeValuesAndShapes) {
    testing::internal::CaptureStderr();
    expect_values({
        {"relu gives +0 for all but positives", "type:relu,", {1, 2, 4},
         {-2.0f, -0.0f, 0.0f, 3.5f, NAN, INFINITY, -INFINITY, 1e-40f}, {0, 0, 0, 3.5f, 0, INFINITY, 0, 1e-40f}},
        {"dropout copies -0, NaN, subnormals", "type:dropout,", {1, 1, 5}, {-0.0f, NAN, 1e-42f, -3.25f, INFINITY},
         {-0.0f, NAN, 1e-42f, -3.25f, INFINITY}},
        {"sigmoid saturates", "type:sigmoid,", {1, 1, 4}, {0, -800, 800, 1}, {0.5f, 0, 1, 0.7310585786f}},
        // ln(FLT_MAX) / 2 is about 44.3614: above it the float exponential
        // is infinite, and infinity over infinity is NaN.
        {"tanh overflows above ~44.36", "type:tanh,", {1, 1, 7}, {44.35f, 44.37f, 60, 1e30f, -44.37f, -60, 0},
         {1, NAN, NAN, NAN, -1, -1, 0}},
        // Only a multiplication turns 0 into -0 and -0 into +0.
        {"prelu slope applies to zeros and NaN", prelu(0, 1, 1, 1), {1, 1, 4}, {0.0f, -0.0f, NAN, -3},
         {-0.0f, 0.0f, NAN, 6}, {}, {}, {-2.0f}},
        {"relu top follows the item count", "type:relu,", {2, 1, 2}, ramp(12, -6),
         {0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5}, {2, 1, 2, 3}, {2, 1, 2, 3}},
        {"sigmoid keeps its set-up shape", "type:sigmoid,", {2, 1, 2}, std::vector<float>(6, 0.0f),
         std::vector<float>(4, 0.5f), {2, 1, 2}, {3, 1, 2}},
        {"softmax subtracts the maximum", "type:softmax,", {3, 1, 1}, {1000, 999, -1000},
         {0.7310585786f, 0.2689414214f, 0}},
        // 1e-9 keeps 0 / 0 away, and a value as small as it reaches only 1/2.
        {"l2norm of zeros", "type:l2norm,across_channels:1,", {1, 2, 2}, {0, 0, 0, 0}, {0, 0, 0, 0}},
        {"l2norm per 1 x 1 plane", "type:l2norm,across_channels:0,", {4, 1, 1}, {-2, 0, 5, 1e-9f},
         {-1, 0, 1, 0.5f}},
        // pre = (2 - 1) / 2 = 0: each channel sums itself and the next one.
        {"lrn even window leans forward", "type:lrn,ksize:2,alpha:2,beta:1,", {3, 1, 1}, {1, 2, 3},
         {1.0f / 6, 2.0f / 14, 3.0f / 10}},
        {"lrn within channels divides by 1", "type:lrn,across_channels:0,ksize:3,alpha:1,beta:0.75,", {2, 1, 2},
         {0.5f, -1, 2, 3}, {0.5f, -1, 2, 3}},
        {"flatten makes a column", "type:flatten,", {3, 2, 2}, ramp(12, 0.5f), ramp(12, 0.5f), {12, 1, 1}},
        {"reshape without -1 takes the first values", reshape(1, 2, 3, 2), {2, 3, 4}, ramp(24), ramp(12),
         {2, 3, 2}},
        {"reshape ignores the first dimension", reshape(7, 0, 0, -1), {2, 3, 4}, ramp(24), ramp(24), {2, 3, 4}},
        // The item count takes no part: one item of 4 x 30 x 1.
        {"reshape follows the bottom on every pass", reshape(1, 0, -1, 1), {2, 3, 4}, ramp(240, 3),
         ramp(120, 3), {4, 30, 1}, {4, 5, 6, 2}},
    });
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "lrn not support across_channels=false yet\n");
}

TEST(ElementwiseLayers, RefusalsAndMessages) {
    const Shape b{2, 1, 1};
    expect_refused({
        {"type:relu,", {}}, {"type:relu,", {b, b}}, {"type:dropout,", {}}, {"type:sigmoid,", {b, b}},
        {"type:tanh,", {}},
        // The slope blob's shape comes from the parameters, all four required.
        {"type:prelu,channels:2,height:1,width:1,", {b}}, {"type:prelu,param_level:1,height:1,width:1,", {b}},
        {"type:prelu,param_level:1,channels:2,width:1,", {b}},
        {"type:prelu,param_level:1,channels:2,height:1,", {b}},
        {prelu(0, 0, 1, 1), {b}}, {prelu(1, 2, 1, 1), {b, b}},
        // Too few slopes for the bottom would be read past their end.
        {prelu(1, 2, 1, 1), {{3, 1, 1}}}, {prelu(2, 1, 2, 3), {{1, 2, 4}}},
    });
    expect_runs({
        // No item to fill the top with, found only once the top was refitted.
        {"type:relu,", {{2, 2, 2}}, {{2, 2, 2, 0}}, kSkipped},
        {"type:relu,", {{1, 1, 2}}, {{1, 1, 2}, {1, 1, 3}}, ""},  // uses the first bottom
        {"type:dropout,", {{1, 1, 2}}, {{1, 1, 2}, {1, 1, 3}}, kSkipped},
        {"type:sigmoid,", {{2, 1, 2}}, {{1, 1, 2}}, kSkipped},
        {"type:tanh,", {{1, 2, 2}}, {{1, 1, 3}}, kSkipped},
        {prelu(2, 2, 2, 2), {{2, 2, 2}}, {{1, 2, 2}}, kSkipped},
    });
}

TEST(NormalisationLayers, RefusalsAndMessages) {
    const Shape b{3, 1, 1};
    const std::string lrn = "type:lrn,ksize:3,alpha:1,beta:1,";
    expect_refused({
        {"type:softmax,", {}}, {"type:softmax,", {b, b}},
        {"type:lrn,alpha:1,beta:1,", {b}}, {"type:lrn,ksize:3,beta:1,", {b}}, {"type:lrn,ksize:3,alpha:1,", {b}},
        {"type:lrn,ksize:0,alpha:1,beta:1,", {b}}, {"type:lrn,ksize:-2,alpha:1,beta:1,", {b}},
        {"type:lrn,ksize:3,alpha:1,beta:1,", {b, b}},
        {"type:l2norm,", {b}}, {"type:l2norm,across_channels:1,", {}},
    });
    expect_runs({
        {"type:softmax,", {{2, 1, 1}}, {{2, 1, 1, 0}}, kSkipped},
        {lrn, {{2, 2, 2}}, {{3, 2, 2}}, kSkipped},  // its squares would not fit the padded planes
        {lrn, {{2, 2, 2}}, {{1, 2, 2}}, kSkipped},
        {"type:l2norm,across_channels:1,", {{1, 1, 2}}, {{1, 1, 3}}, kSkipped},  // would write past the top
        {"type:l2norm,across_channels:0,", {{2, 2, 1}}, {{1, 2, 1}}, kSkipped},  // would read past the bottom
    });
}

TEST(ShapeLayers, RefusalsAndMessages) {
    const Shape b{2, 3, 4};
    expect_refused({
        {reshape(1, 5, -1, 1), {b}, "Can not mode explicitCount\n"},
        {reshape(1, 5, 5, 1), {b}, "Can not mode explicitCount\n"},
        {reshape(1, -1, -1, 4), {b}, ""},  // a second -1 is refused silently
        {reshape(1, -2, 3, -4), {b}, "Top blob init fail\n"},
        {reshape(1, 2, -1, -12), {b}, "Top blob init fail\n"},
        // The first missing key is the one named.
        {"type:reshape,reshape_dim2:0,reshape_dim4:1,", {b}, "reshape_dim1 is not found\n"},
        {"type:reshape,reshape_dim1:1,reshape_dim3:-1,reshape_dim4:1,", {b}, "reshape_dim2 is not found\n"},
        {"type:reshape,reshape_dim1:1,reshape_dim2:0,reshape_dim4:1,", {b}, "reshape_dim3 is not found\n"},
        {"type:reshape,reshape_dim1:1,reshape_dim2:0,reshape_dim3:-1,", {b}, "reshape_dim4 is not found\n"},
        {reshape(1, 0, -1, 1), {b, b}, "pre_data size is not 1\n"},
        {"type:concat,concat_dim:0,", {b, b}}, {"type:concat,concat_dim:2,", {b, b}}, {"type:concat,", {b, b}},
        {"type:concat,concat_dim:1,", {b}}, {"type:concat,concat_dim:1,", {b, {2, 4, 4}}},
        {"type:concat,concat_dim:1,", {b, {2, 3, 5}}},
        {"type:flatten,", {}}, {"type:flatten,", {b, b}},
    });
    expect_runs({
        // A grown second bottom no longer fits: not even the first is written.
        {"type:concat,concat_dim:1,", {{1, 2, 2}, {1, 2, 2}}, {{1, 2, 2}, {1, 3, 3}}, kSkipped},
        {"type:flatten,", {{2, 2, 2}}, {{2, 1, 2}}, kSkipped},
        {reshape(1, 5, -1, 1), {{5, 2, 2}}, {{2, 3, 4}}, "Can not mode explicitCount\n" + kSkipped},
        {reshape(1, 5, -1, 1), {{5, 2, 2}}, {{5, 2, 2}, {5, 2, 2}}, "pre_data size is not 1\n" + kSkipped},
        {reshape(1, 0, 0, 0), {{2, 3, 4}}, {{2, 3, 4, 0}}, kSkipped},
    });
}

}  // namespace
}  // namespace kx::test
