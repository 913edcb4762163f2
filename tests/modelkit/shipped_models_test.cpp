// The trained networks in models/ against the outputs PyTorch gave for them
// when they were exported (models/parity/<model>.fixture). A model that is not
// shipped yet is skipped; a shipped model without its fixture fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "net/net.h"
#include "support/fixture.h"

namespace kx {
namespace {

const std::string kModels = std::string(KX_SOURCE_DIR) + "/models/";

struct ShippedModel {
    const char* file;
    const char* fixture;  // under models/parity/
};

const ShippedModel kSingleInputModels[] = {
    {"cdcn_iter_500000.dat", "cdcn_iter_500000.fixture"},
};

bool exists(const std::string& path) { return std::ifstream(path).good(); }

// The fixture loader reads below tests/fixtures; the model fixtures live
// next to the models.
test::Fixture model_fixture(const std::string& name) {
    return test::load_fixture("../../models/parity/" + name);
}

bool load_single_input(Net& net, const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    const bool ok = net.load_model_single_input(file);
    std::fclose(file);
    return ok;
}

std::vector<float> run_item(Net& net, const float* input) {
    Blob* in = net.blobs[0];
    std::copy(input, input + in->count, in->data);
    std::vector<float> out;
    for (const Blob* b : net.forward()) out.insert(out.end(), b->data, b->data + b->count);
    return out;
}

class ShippedModelTest : public ::testing::TestWithParam<ShippedModel> {};

TEST_P(ShippedModelTest, AgreesWithTheExportedReference) {
    const ShippedModel model = GetParam();
    const std::string path = kModels + model.file;
    if (!exists(path)) GTEST_SKIP() << model.file << " is not shipped yet";
    const std::string fixture_path = kModels + "parity/" + model.fixture;
    ASSERT_TRUE(exists(fixture_path)) << "shipped model without its parity fixture " << fixture_path;

    Net net;
    ASSERT_TRUE(load_single_input(net, path));
    const test::Fixture fx = model_fixture(model.fixture);
    const test::Tensor& input = fx.tensor("input");
    const test::Tensor& expected = fx.tensor("expected");
    const float tolerance = std::strtof(fx.text("tolerance").c_str(), nullptr);
    ASSERT_GT(tolerance, 0.0f);

    ASSERT_EQ(input.dims.size(), 4u);
    ASSERT_EQ(input.dims[1], net.input_channels);
    ASSERT_EQ(input.dims[2], net.input_height);
    ASSERT_EQ(input.dims[3], net.input_width);
    const int items = input.dims[0];
    ASSERT_EQ(expected.dims[0], items);
    const size_t item_in = input.values.size() / size_t(items);
    const size_t item_out = expected.values.size() / size_t(items);

    for (int n = 0; n < items; ++n) {
        const std::vector<float> got = run_item(net, input.values.data() + size_t(n) * item_in);
        ASSERT_EQ(got.size(), item_out) << "item " << n;
        for (size_t k = 0; k < item_out; ++k) {
            EXPECT_NEAR(got[k], expected.values[size_t(n) * item_out + k], tolerance)
                << model.file << " item " << n << " value " << k;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Models, ShippedModelTest, ::testing::ValuesIn(kSingleInputModels),
                         [](const ::testing::TestParamInfo<ShippedModel>& info) {
                             std::string name = info.param.file;
                             name = name.substr(0, name.find('.'));
                             std::replace_if(name.begin(), name.end(),
                                             [](char c) { return !std::isalnum((unsigned char)c); }, '_');
                             return name;
                         });

// The five-point network's contract with alignFivePoints: 60 x 60 grey input,
// ten outputs in crop units. The fixture's first two inputs are portrait
// crops cut from the canonical face box, so the points must describe an
// upright face: image-left eye first, eyes above the nose above the mouth.
TEST(FivePointNetwork, PlacesAnUprightFaceOnThePortraitCrops) {
    const std::string path = kModels + "cdcn_iter_500000.dat";
    if (!exists(path)) GTEST_SKIP() << "cdcn_iter_500000.dat is not shipped yet";
    Net net;
    ASSERT_TRUE(load_single_input(net, path));
    EXPECT_EQ(net.input_channels, 1);
    EXPECT_EQ(net.input_height, 60);
    EXPECT_EQ(net.input_width, 60);

    const test::Fixture fx = model_fixture("cdcn_iter_500000.fixture");
    const test::Tensor& input = fx.tensor("input");
    ASSERT_GE(input.dims[0], 2);
    for (int n = 0; n < 2; ++n) {
        // Through the byte path the library uses: the crop as 8-bit pixels.
        std::vector<unsigned char> pixels(3600);
        for (size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = static_cast<unsigned char>(input.values[size_t(n) * 3600 + i]);
        const BlobList out = net.forward_image(pixels.data(), 60, 60, 60);
        ASSERT_EQ(out.size(), 1u);
        ASSERT_GE(out[0]->count, 10);
        const float* o = out[0]->data;
        for (int k = 0; k < 10; ++k) {
            EXPECT_GT(o[k], -1.0f) << "portrait " << n;
            EXPECT_LT(o[k], 1.0f) << "portrait " << n;
        }
        const float eye_y = std::max(o[1], o[3]);
        const float mouth_y = std::min(o[7], o[9]);
        EXPECT_LT(o[0], o[2]) << "portrait " << n << ": eyes out of order";
        EXPECT_LT(o[6], o[8]) << "portrait " << n << ": mouth corners out of order";
        EXPECT_LT(eye_y, o[5]) << "portrait " << n << ": nose above an eye";
        EXPECT_LT(o[5], mouth_y) << "portrait " << n << ": nose below the mouth";
        // Both eyes between the mouth corners' outer bounds, roughly.
        EXPECT_GT(o[2] - o[0], 0.5f * (o[8] - o[6])) << "portrait " << n;
    }
}

}  // namespace
}  // namespace kx
