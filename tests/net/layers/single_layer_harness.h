#pragma once
// Runs one layer on its own, as a network would: built by the layer factory
// from its parameter text, set up once, then run on bottoms that may have
// changed since. Most layer tests are tables fed to the runners below.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "net/blob.h"
#include "net/layer.h"
#include "net/params.h"
#include "support/fixture.h"

namespace kx::test {

inline const std::string kSkipped = "fail to reshape top\n";

struct Shape {
    int c = 0, h = 0, w = 0, num = 1;
};

// Fixture dims: (items, values) for one column per item, (c, h, w) or (n, c, h, w).
inline Shape shape_of(const std::vector<int>& d) {
    if (d.size() == 2) return {d[1], 1, 1, d[0]};
    if (d.size() == 3) return {d[0], d[1], d[2], 1};
    return {d.at(1), d.at(2), d.at(3), d.at(0)};
}

inline void expect_shape(const Blob& b, Shape s) {
    EXPECT_EQ((std::vector<int>{b.channels, b.height, b.width, b.num}), (std::vector<int>{s.c, s.h, s.w, s.num}));
}

inline std::vector<float> values_of(const Blob& b) { return {b.data, b.data + b.count}; }

inline std::vector<float> ramp(int n, float start = 0.0f) {
    std::vector<float> v;
    for (int i = 0; i < n; ++i) v.push_back(start + float(i));
    return v;
}

inline std::vector<float> random_values(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = dist(gen);
    return v;
}

inline void fill(Blob& blob, const std::vector<float>& values) {
    ASSERT_EQ(size_t(blob.count), values.size());
    std::copy(values.begin(), values.end(), blob.data);
}

// Absolute plus relative tolerance. NaN matches only NaN; where the
// tolerance is zero (or the value infinite) the sign of a zero counts too.
inline void expect_close(const std::vector<float>& actual, const std::vector<float>& expected, double abs_tol,
                         double rel_tol) {
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); ++i) {
        const float a = actual[i], e = expected[i];
        const double tol = abs_tol + rel_tol * std::fabs(double(e));
        if (std::isnan(e)) {
            EXPECT_TRUE(std::isnan(a)) << "at " << i << ": " << a;
        } else if (tol == 0.0 || std::isinf(e)) {
            EXPECT_TRUE(a == e && std::signbit(a) == std::signbit(e)) << "at " << i << ": " << a << " vs " << e;
        } else {
            EXPECT_NEAR(a, e, tol) << "at " << i;
        }
    }
}

class LayerHarness {
public:
    explicit LayerHarness(const std::string& params) : layer(make_layer(parse_layer_params(params))) {}
    ~LayerHarness() {
        for (Blob* b : tops) delete b;
        set_bottoms({});
    }
    LayerHarness(const LayerHarness&) = delete;
    LayerHarness& operator=(const LayerHarness&) = delete;

    // Bottom k (appended when it is the next) takes the shape and the values, or random ones.
    void set_bottom(size_t k, Shape s, std::vector<float> values = {}) {
        if (k == bottoms.size()) bottoms.push_back(new Blob());
        ASSERT_TRUE(bottoms.at(k)->create(s.c, s.h, s.w, s.num));
        fill(*bottoms[k], values.empty() ? random_values(size_t(bottoms[k]->count), ++seed) : values);
    }
    void set_bottoms(const std::vector<Shape>& shapes) {
        for (; bottoms.size() > shapes.size(); bottoms.pop_back()) delete bottoms.back();
        for (size_t k = 0; k < shapes.size(); ++k) set_bottom(k, shapes[k]);
    }
    // Set-up as the loader runs it, keeping what it printed in `said`; the
    // weights then get random values, as a model file would give them.
    bool setup() {
        testing::internal::CaptureStdout();
        const bool ok = layer && layer->setup(bottoms, tops);
        said = testing::internal::GetCapturedStdout();
        for (Blob* w : ok ? layer->weights : BlobList{}) fill(*w, random_values(size_t(w->count), ++seed));
        return ok;
    }
    std::string run() {  // one pass; returns what it printed
        testing::internal::CaptureStdout();
        layer->forward(bottoms, tops);
        return testing::internal::GetCapturedStdout();
    }
    Blob& top() { return *tops.at(0); }
    std::vector<float> top_values() { return values_of(top()); }

    std::unique_ptr<Layer> layer;
    BlobList bottoms, tops;
    std::string said;
    unsigned seed = 0;  // of the next random values
};

// The names in the fixture's comma-separated "cases" text.
inline std::vector<std::string> case_names(const Fixture& f) {
    std::vector<std::string> names;
    std::stringstream text(f.text("cases"));
    for (std::string name; std::getline(text, name, ',');) names.push_back(name);
    return names;
}

// Runs the layer of `params` on the fixture tensors `bottoms`; its top must
// match `top` (and bottom 0 `bottom_after`, when named). The set-up sees one
// item of each bottom, `shrink` rows and columns smaller (load-time shapes
// need not be those of the pass); then the `weights` are loaded.
inline void expect_fixture(const Fixture& f, const std::string& params, const std::vector<std::string>& bottoms,
                           const std::vector<std::string>& weights, const std::string& top, double abs_tol,
                           double rel_tol, int shrink = 0, const std::string& bottom_after = "") {
    LayerHarness h(params);
    bool one_item = true;
    for (size_t k = 0; k < bottoms.size(); ++k) {
        const Shape s = shape_of(f.tensor(bottoms[k]).dims);
        one_item = one_item && s.num == 1;
        h.set_bottom(k, {s.c, s.h - shrink, s.w - shrink, 1});
    }
    ASSERT_TRUE(h.setup());
    const Tensor& want = f.tensor(top);
    if (one_item && shrink == 0) expect_shape(h.top(), shape_of(want.dims));  // what later layers set up on
    for (size_t k = 0; k < weights.size(); ++k) fill(*h.layer->weights.at(k), f.tensor(weights[k]).values);
    for (size_t k = 0; k < bottoms.size(); ++k) {
        const Tensor& t = f.tensor(bottoms[k]);
        h.set_bottom(k, shape_of(t.dims), t.values);
    }
    EXPECT_EQ(h.run(), "");
    expect_shape(h.top(), shape_of(want.dims));
    expect_close(h.top_values(), want.values, abs_tol, rel_tol);
    if (!bottom_after.empty()) {
        expect_close(values_of(*h.bottoms[0]), f.tensor(bottom_after).values, abs_tol, rel_tol);
    }
}

// A pass on hand-picked values: the bottom is set up with `shape`, takes the
// `run` shape when one is given, and `input` fills it for the pass; `weights`
// fills the first weight blob. Values are compared to 1e-6 relative.
struct ValueCase {
    const char* why;
    std::string params;
    Shape shape;
    std::vector<float> input, expected;
    Shape top = {}, run = {};  // each used when given
    std::vector<float> weights = {};
};

inline void expect_values(const std::vector<ValueCase>& cases) {
    for (const ValueCase& c : cases) {
        SCOPED_TRACE(c.why);
        LayerHarness h(c.params);
        h.set_bottom(0, c.shape, c.run.c > 0 ? std::vector<float>{} : c.input);
        ASSERT_TRUE(h.setup());
        EXPECT_EQ(h.said, "");
        if (!c.weights.empty()) fill(*h.layer->weights.at(0), c.weights);
        if (c.run.c > 0) h.set_bottom(0, c.run, c.input);
        EXPECT_EQ(h.run(), "");
        if (c.top.c > 0) expect_shape(h.top(), c.top);
        expect_close(h.top_values(), c.expected, 0.0, 1e-6);
    }
}

// A set-up that must fail, printing `said` (mostly nothing).
struct Refusal {
    std::string params;
    std::vector<Shape> bottoms;
    std::string said = {};
};

inline void expect_refused(const std::vector<Refusal>& cases) {
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.params + " on " + std::to_string(c.bottoms.size()) + " bottom(s)");
        LayerHarness h(c.params);
        h.set_bottoms(c.bottoms);
        EXPECT_FALSE(h.setup());
        EXPECT_EQ(h.said, c.said);
    }
}

// A layer set up and run silently on `setup` bottoms, then run on bottoms of
// the `run` shapes, printing `said`. A pass that says something is skipped:
// the top keeps its shape, storage and values.
struct RunCase {
    std::string params;
    std::vector<Shape> setup, run;
    std::string said;
};

inline void expect_runs(const std::vector<RunCase>& cases) {
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.params + " then " + std::to_string(c.run.size()) + " bottom(s)");
        LayerHarness h(c.params);
        h.set_bottoms(c.setup);
        ASSERT_TRUE(h.setup());
        EXPECT_EQ(h.run(), "");
        const Blob& top = h.top();
        const float* data = top.data;
        const Shape shape{top.channels, top.height, top.width, top.num};
        const std::vector<float> values = h.top_values();
        h.set_bottoms(c.run);
        EXPECT_EQ(h.run(), c.said);
        if (!c.said.empty()) {
            EXPECT_EQ(top.data, data);
            expect_shape(top, shape);
            EXPECT_EQ(h.top_values(), values);
        }
    }
}

}  // namespace kx::test
