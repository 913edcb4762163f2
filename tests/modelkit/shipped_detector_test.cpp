// The shipped face detector: the runtime against the reference run recorded
// when it was exported, and what it finds on real photos through the
// detection entry points' path (working image, detector, square boxes).
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "api/working_image.h"
#include "detect/detection_row.h"
#include "detect/enlarge_to_square.h"
#include "detect/frcnn_detector.h"
#include "net/model_file.h"
#include "net/net.h"
#include "support/fixture.h"

namespace kx {
namespace {

const std::string kModels = std::string(KX_SOURCE_DIR) + "/models/";
const std::string kDetectorFile = "frcnn_full_cross_500000.dat";

bool shipped() { return std::ifstream(kModels + kDetectorFile).good(); }

TEST(ShippedDetector, AgreesWithTheExportedReferenceRun) {
    if (!shipped()) GTEST_SKIP() << kDetectorFile << " is not shipped yet";
    Net net;
    ASSERT_TRUE(loadNetFile(net, kModels + kDetectorFile, true));

    const test::Fixture fx = test::load_fixture("../../models/parity/frcnn_full_cross_500000.fixture");
    const test::Tensor& input = fx.tensor("input");
    ASSERT_EQ(input.dims.size(), 4u);
    const int height = input.dims[2], width = input.dims[3];
    const float threshold = std::strtof(fx.text("threshold").c_str(), nullptr);
    const std::vector<DetectionRow> rows =
        net.detect(input.values, {float(height), float(width), 1.0f}, threshold);

    // Candidates of the proposal layer, then both outputs, candidate by candidate.
    const Blob* boxes = nullptr;
    for (size_t i = 0; i < net.layers.size(); ++i)
        if (net.layers[i]->type() == "frcnnproposal") boxes = net.blobs[net.top_ids[i][0]];
    ASSERT_NE(boxes, nullptr);
    const test::Tensor& proposals = fx.tensor("proposals");
    const int n = proposals.dims[0];
    ASSERT_EQ(boxes->num, n);
    for (int i = 0; i < n; ++i)
        for (int k = 0; k < 4; ++k)
            ASSERT_NEAR(boxes->data[5 * i + 1 + k], proposals.values[4 * i + k], 1e-2) << "candidate " << i;
    const Blob* deltas = net.blobs[net.output_ids[0]];
    const Blob* probs = net.blobs[net.output_ids[1]];
    const test::Tensor& want_deltas = fx.tensor("deltas");
    const test::Tensor& want_probs = fx.tensor("probabilities");
    for (int i = 0; i < 8 * n; ++i) EXPECT_NEAR(deltas->data[i], want_deltas.values[i], 1e-4) << "delta " << i;
    for (int i = 0; i < 2 * n; ++i) EXPECT_NEAR(probs->data[i], want_probs.values[i], 1e-4) << "probability " << i;

    const test::Tensor& want_rows = fx.tensor("detections");
    ASSERT_EQ(rows.size(), size_t(want_rows.dims[0]));
    for (size_t i = 0; i < rows.size(); ++i) {
        const float* w = &want_rows.values[5 * i];
        EXPECT_NEAR(rows[i].x, w[0], 1e-2);
        EXPECT_NEAR(rows[i].y, w[1], 1e-2);
        EXPECT_NEAR(rows[i].width, w[2], 1e-2);
        EXPECT_NEAR(rows[i].height, w[3], 1e-2);
        EXPECT_NEAR(rows[i].score, w[4], 1e-4);
    }
}

// Faces in the caller's pixels, as KXTracker_detect reports them.
class ShippedDetectorOnPhotos : public ::testing::Test {
protected:
    void SetUp() override {
        if (!shipped()) GTEST_SKIP() << kDetectorFile << " is not shipped yet";
        detector_.load(kModels, 0, 1);
        ASSERT_FALSE(detector_.means.empty());
    }

    std::vector<cv::Rect> faces(const cv::Mat& image) {
        const float scale = workingScale(image.rows, image.cols);
        std::vector<FaceRecord> found;
        detector_.detect(makeWorkingImage(image, scale), found);
        enlargeToSquare(found);
        std::vector<cv::Rect> out;
        for (const FaceRecord& f : found) out.push_back(scaleBack(f.box, scale));
        return out;
    }

    static cv::Mat sample(const char* name) {
        cv::Mat img = cv::imread(std::string(KX_SOURCE_DIR) + "/samples/" + name, cv::IMREAD_COLOR);
        EXPECT_FALSE(img.empty()) << name;
        return img;
    }

    FRCNNDetector detector_;
};

// Eye and mouth positions measured once on the portraits (the dlib teacher's
// points): a found box must hold both eyes and the mouth, and be a face's
// size (1.5 to 6 eye-to-mouth distances).
struct PortraitFace {
    const char* file;
    cv::Point2f left_eye, right_eye, mouth;
};

const PortraitFace kPortraits[] = {
    {"obama.jpg", {443.5f, 216.2f}, {549.0f, 214.5f}, {493.5f, 319.5f}},
    {"biden.jpg", {535.5f, 324.2f}, {652.0f, 351.5f}, {573.0f, 471.0f}},
};

bool holdsFace(const cv::Rect& box, const PortraitFace& f, cv::Point2f shift = {0, 0}) {
    const cv::Rect2f b(box);
    const cv::Point2f le = f.left_eye + shift, re = f.right_eye + shift, m = f.mouth + shift;
    const float eye_mouth = float(cv::norm((le + re) * 0.5f - m));
    const float side = 0.5f * (b.width + b.height);
    return b.contains(le) && b.contains(re) && b.contains(m) && side >= 1.5f * eye_mouth &&
           side <= 6.0f * eye_mouth;
}

TEST_F(ShippedDetectorOnPhotos, FindsTheOneFaceOfEachPortrait) {
    for (const PortraitFace& p : kPortraits) {
        const std::vector<cv::Rect> found = faces(sample(p.file));
        ASSERT_EQ(found.size(), 1u) << p.file;
        EXPECT_TRUE(holdsFace(found[0], p)) << p.file << ": " << found[0];
    }
}

TEST_F(ShippedDetectorOnPhotos, FindsBothFacesOfASideBySideComposite) {
    const cv::Mat left = sample("obama.jpg");
    cv::Mat right = sample("biden.jpg");
    const float k = float(left.rows) / float(right.rows);
    cv::resize(right, right, cv::Size(), k, k, cv::INTER_AREA);
    cv::Mat both;
    cv::hconcat(left, right(cv::Rect(0, 0, right.cols, left.rows)), both);

    const std::vector<cv::Rect> found = faces(both);
    ASSERT_EQ(found.size(), 2u);
    PortraitFace second = kPortraits[1];
    second.left_eye *= k;
    second.right_eye *= k;
    second.mouth *= k;
    const cv::Point2f shift(float(left.cols), 0.0f);
    const bool direct = holdsFace(found[0], kPortraits[0]) && holdsFace(found[1], second, shift);
    const bool swapped = holdsFace(found[1], kPortraits[0]) && holdsFace(found[0], second, shift);
    EXPECT_TRUE(direct || swapped) << found[0] << " " << found[1];
}

// A phone or webcam held close: a 4:3 cut of the portrait, height_in_eye_mouths
// eye-to-mouth distances high, around the face and kept inside the photo,
// fitted to 640 x 480. `face` comes back in the cut's pixels; an empty
// result when the cut would not fit in the photo.
cv::Mat closeUp(const cv::Mat& photo, PortraitFace& face, float height_in_eye_mouths) {
    const cv::Point2f eyes = (face.left_eye + face.right_eye) * 0.5f;
    const float eye_mouth = float(cv::norm(eyes - face.mouth));
    const int h = int(height_in_eye_mouths * eye_mouth);
    const int w = h * 4 / 3;
    if (w > photo.cols || h > photo.rows) return cv::Mat();
    const cv::Point2f centre = (eyes + face.mouth) * 0.5f;
    const int x = std::clamp(int(centre.x) - w / 2, 0, photo.cols - w);
    const int y = std::clamp(int(centre.y) - h / 2, 0, photo.rows - h);
    const float k = 640.0f / float(w);
    for (cv::Point2f* p : {&face.left_eye, &face.right_eye, &face.mouth}) {
        *p = (*p - cv::Point2f(float(x), float(y))) * k;
    }
    cv::Mat cut;
    cv::resize(photo(cv::Rect(x, y, w, h)), cut, cv::Size(640, 480), 0, 0, cv::INTER_AREA);
    return cut;
}

// Faces 130-160 px eye-to-mouth in a 640 x 480 frame: the face box is two
// thirds of the frame's height.
TEST_F(ShippedDetectorOnPhotos, FindsAFaceThatFillsMostOfTheFrame) {
    const float heights[] = {3.7f, 3.0f};
    for (size_t i = 0; i < 2; ++i) {
        PortraitFace face = kPortraits[i];
        const cv::Mat cut = closeUp(sample(face.file), face, heights[i]);
        ASSERT_FALSE(cut.empty()) << face.file;
        const std::vector<cv::Rect> found = faces(cut);
        ASSERT_EQ(found.size(), 1u) << face.file;
        EXPECT_TRUE(holdsFace(found[0], face)) << face.file << ": " << found[0];
    }
}

// Below the chin the portraits hold suits, shirts, hands and flags: real
// photo content without a face.
TEST_F(ShippedDetectorOnPhotos, FindsNothingWhereThereIsNoFace) {
    const cv::Mat obama = sample("obama.jpg");
    const cv::Mat biden = sample("biden.jpg");
    EXPECT_TRUE(faces(obama(cv::Rect(0, 520, obama.cols, obama.rows - 520)).clone()).empty());
    EXPECT_TRUE(faces(biden(cv::Rect(0, 700, biden.cols, biden.rows - 700)).clone()).empty());
}

}  // namespace
}  // namespace kx
