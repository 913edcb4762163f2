#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "net/layer.h"
#include "net/layers/relu_layer.h"

namespace kx {
namespace {

// Layers that only say which creator built them.
class FirstMarker : public Layer {
public:
    using Layer::Layer;
    bool setup(const BlobList&, BlobList&) override { return true; }
    void forward(const BlobList&, const BlobList&) override {}
};

class SecondMarker : public FirstMarker {
public:
    using FirstMarker::FirstMarker;
};

Layer* make_first(const LayerParams& params) { return new FirstMarker(params); }
Layer* make_second(const LayerParams& params) { return new SecondMarker(params); }

std::unique_ptr<Layer> make(const std::string& type) {
    LayerParams params;
    params["type"] = type;
    return std::unique_ptr<Layer>(make_layer(params));
}

TEST(LayerFactory, UnknownTypesAndMissingTypeBuildNothing) {
    EXPECT_EQ(make("factorytest_never_added"), nullptr);
    EXPECT_EQ(make("Relu"), nullptr);  // whole and case-sensitive
    EXPECT_EQ(make("relu "), nullptr);
    EXPECT_EQ(make_layer(LayerParams{}), nullptr);
}

TEST(LayerFactory, AddedTypeIsBuiltWithItsParameters) {
    add_layer_type("factorytest_added", make_first);
    LayerParams params;
    params["type"] = "factorytest_added";
    params["k"] = "3";
    std::unique_ptr<Layer> layer(make_layer(params));
    ASSERT_NE(dynamic_cast<FirstMarker*>(layer.get()), nullptr);
    EXPECT_EQ(layer->params.at("k"), "3");
    EXPECT_EQ(layer->type(), "factorytest_added");
}

TEST(LayerFactory, AFirstMeaningIsKept) {
    add_layer_type("factorytest_twice", make_first);
    add_layer_type("factorytest_twice", make_second);
    std::unique_ptr<Layer> layer = make("factorytest_twice");
    EXPECT_NE(dynamic_cast<FirstMarker*>(layer.get()), nullptr);
    EXPECT_EQ(dynamic_cast<SecondMarker*>(layer.get()), nullptr);

    // A general type cannot be replaced either.
    add_layer_type("relu", make_second);
    EXPECT_NE(dynamic_cast<ReluLayer*>(make("relu").get()), nullptr);
}

}  // namespace
}  // namespace kx
