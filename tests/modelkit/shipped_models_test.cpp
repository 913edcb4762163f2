// The trained networks in models/ against the outputs PyTorch gave for them
// when they were exported (models/parity/<model>.fixture). A model that is not
// shipped yet is skipped; a shipped model without its fixture fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "align/five_points.h"
#include "align/landmark_model.h"
#include "align/ninety_five_points.h"
#include "align/tracked_face.h"
#include "detect/enlarge_to_square.h"
#include "net/model_file.h"
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
    {"cdcn95_verify_iter_50000.dat", "cdcn95_verify_iter_50000.fixture"},
};

// Test listings show the file name instead of the struct's bytes.
void PrintTo(const ShippedModel& model, std::ostream* os) { *os << model.file; }

bool exists(const std::string& path) { return std::ifstream(path).good(); }

// The fixture loader reads below tests/fixtures; the model fixtures live
// next to the models.
test::Fixture model_fixture(const std::string& name) {
    return test::load_fixture("../../models/parity/" + name);
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
    ASSERT_TRUE(loadNetFile(net, path, false));
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
    ASSERT_TRUE(loadNetFile(net, path, false));
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

// The 95-point files through the library's path: five points from the
// five-point network on a face box, warp, 95-point network, face check,
// cascade. The face box of samples/obama.jpg is the canonical box of the
// dlib teacher's points, measured once; so are the five points below.
class NinetyFivePointModels : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* file : {"cdcn_iter_500000.dat", "cdcn95_verify_iter_50000.dat", "model95_tern.bin"}) {
            if (!exists(kModels + file)) GTEST_SKIP() << file << " is not shipped yet";
        }
        ASSERT_TRUE(loadNetFile(net5_, kModels + "cdcn_iter_500000.dat", false));
        ASSERT_TRUE(loadNetFile(net95_, kModels + "cdcn95_verify_iter_50000.dat", false));
        ASSERT_TRUE(cascade_.load(kModels + "model95_tern.bin"));
        ASSERT_EQ(cascade_.landmark_num_, 95);
        ASSERT_LE(cascade_.stage_count, 4);
    }

    // Five points of the 95-point shape placed on the face in box, and the
    // face check's verdict.
    bool align(const cv::Mat& grey, const cv::Rect& box, cv::Mat& five) {
        std::vector<FaceRecord> faces(1);
        faces[0].box = box;
        enlargeToSquare(faces);
        EXPECT_EQ(alignFivePoints(net5_, grey, faces[0].box, faces[0].landmarks), 0);
        TrackedFace state;
        state.shape = cv::Mat::zeros(95, 2, CV_32FC1);
        bool is_face = false;
        EXPECT_EQ(alignNinetyFivePoints(state, net95_, cascade_, grey, faces[0], is_face), 0);
        EXPECT_EQ(fivePointsFromShape(state.shape, five), 0);
        return is_face;
    }

    Net net5_, net95_;
    LandmarkModel cascade_;
};

TEST_F(NinetyFivePointModels, AcceptsThePortraitAndPlacesItsFeatures) {
    const cv::Mat grey = cv::imread(std::string(KX_SOURCE_DIR) + "/samples/obama.jpg", cv::IMREAD_GRAYSCALE);
    ASSERT_FALSE(grey.empty());
    const cv::Rect box(379, 162, 231, 231);
    cv::Mat five;
    EXPECT_TRUE(align(grey, box, five));
    ASSERT_EQ(five.rows, 5);
    const float teacher[5][2] = {{443.5f, 216.2f}, {549.0f, 214.5f}, {497.0f, 273.0f}, {432.0f, 320.0f},
                                 {555.0f, 319.0f}};
    for (int i = 0; i < 5; ++i) {
        const cv::Point2f p(five.at<float>(i, 0), five.at<float>(i, 1));
        EXPECT_TRUE(box.contains(p)) << "point " << i;
        // About a tenth of the eye distance (105 px).
        EXPECT_LT(cv::norm(p - cv::Point2f(teacher[i][0], teacher[i][1])), 11.0) << "point " << i;
    }
    EXPECT_LT(five.at<float>(0, 0), five.at<float>(1, 0));
    EXPECT_LT(five.at<float>(3, 0), five.at<float>(4, 0));
    EXPECT_LT(std::max(five.at<float>(0, 1), five.at<float>(1, 1)), five.at<float>(2, 1));
    EXPECT_LT(five.at<float>(2, 1), std::min(five.at<float>(3, 1), five.at<float>(4, 1)));
}

TEST_F(NinetyFivePointModels, RejectsAFaceFreePicture) {
    cv::Mat grey(400, 400, CV_8UC1);
    for (int y = 0; y < grey.rows; ++y)
        for (int x = 0; x < grey.cols; ++x)
            grey.at<uchar>(y, x) = static_cast<uchar>(60 + 0.3 * x + 0.2 * y + 12 * std::sin(x * 0.05));
    cv::Mat five;
    EXPECT_FALSE(align(grey, cv::Rect(100, 100, 200, 200), five));
}

}  // namespace
}  // namespace kx
