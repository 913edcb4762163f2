#include "net/layers/single_layer_harness.h"

namespace kx::test {
namespace {

std::string fc(int nodes) { return "type:fullconnect,node_num:" + std::to_string(nodes) + ","; }

// Set up on one item, as the weight width is one item's size; the pass then
// meets every item of the input.
TEST(FullConnectLayer, MatchesTorchReferences) {
    const Fixture f = load_fixture("fc_fixtures.bin");
    for (const std::string& n : case_names(f)) {
        SCOPED_TRACE(n);
        expect_fixture(f, f.text(n + ".params"), {n + ".input"}, {n + ".weights", n + ".biases"}, n + ".output",
                       1e-5, 0.0);
    }
}

// One item as a plain scalar loop: bias first, then each product in input
// order, in 32-bit floats; volatile keeps the compiler from reassociating.
std::vector<float> scalar_item(const float* x, const Blob& w, const Blob& b) {
    std::vector<float> y;
    for (int o = 0; o < w.channels; ++o) {
        volatile float acc = b.data[o];
        for (int k = 0; k < w.height; ++k) {
            volatile float product = x[k] * w.data[size_t(o) * w.height + k];
            acc = acc + product;
        }
        y.push_back(float(acc));
    }
    return y;
}

// Output counts around the width of the grouped loop, inputs whose sums
// cancel so that any change of order shows in the low bits, and an item
// count that changes from run to run (items are read by size, not shape).
TEST(FullConnectLayer, OneItemIsBitExactAndItemCountFollowsTheBottom) {
    for (int nodes : {1, 7, 8, 9, 16, 23, 40}) {
        for (int depth : {1, 5, 8, 13, 300}) {
            SCOPED_TRACE(testing::Message() << nodes << " outputs, " << depth << " inputs");
            LayerHarness h(fc(nodes));
            h.set_bottom(0, {depth, 1, 1});
            ASSERT_TRUE(h.setup());
            const Blob &w = *h.layer->weights[0], &b = *h.layer->weights[1];

            h.set_bottom(0, {1, depth, 1, 3});
            EXPECT_EQ(h.run(), "");
            const std::vector<float> last(h.top().data + 2 * nodes, h.top().data + 3 * nodes);
            expect_close(last, scalar_item(h.bottoms[0]->data + 2 * depth, w, b), 1e-4, 0.0);

            std::vector<float> x = random_values(size_t(depth), unsigned(nodes + depth));
            for (int i = 0; i < depth; ++i) x[size_t(i)] *= (i % 3 == 0) ? 1e4f : 1e-3f;
            h.set_bottom(0, {depth, 1, 1}, x);
            EXPECT_EQ(h.run(), "");
            expect_shape(h.top(), {nodes, 1, 1, 1});
            expect_close(h.top_values(), scalar_item(x.data(), w, b), 0.0, 0.0);  // to the last bit
        }
    }
}

TEST(FullConnectLayer, RefusalsAndMessages) {
    const Shape b{3, 2, 2};
    expect_refused({
        {"type:fullconnect,", {b}}, {fc(0), {b}}, {fc(-3), {b}}, {fc(4), {b, b}}, {fc(4), {}},
    });
    expect_runs({
        {fc(5), {b}, {{13, 1, 1}}, kSkipped},    // 13 values per item against a weight width of 12
        {fc(5), {b}, {{3, 2, 1, 2}}, kSkipped},  // 2 items of 6
        {fc(5), {b}, {{3, 2, 2, 0}}, kSkipped},
        {fc(5), {b}, {b, b}, kSkipped},
    });
}

}  // namespace
}  // namespace kx::test
