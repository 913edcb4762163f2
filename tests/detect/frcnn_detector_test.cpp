#include "detect/frcnn_detector.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <unistd.h>

#include "detect/enlarge_to_square.h"
#include "detect/synthetic_detector_model.h"
#include "stdcnn_writer.h"

namespace kx {
namespace {

std::string said(const std::function<void()>& run) {
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
}

// Black image with 16 x 16 cells (column, row) painted grey level v.
struct Cell { int x, y, v; };
cv::Mat cells_image(int width, int height, const std::vector<Cell>& cells) {
    cv::Mat image(height, width, CV_8UC3, cv::Scalar::all(0));
    for (const Cell& c : cells) image(cv::Rect(16 * c.x, 16 * c.y, 16, 16)).setTo(cv::Scalar::all(c.v));
    return image;
}

// The synthetic model's face probability for a cell of grey level v.
double face_probability(int v) { return 1.0 / (1.0 + std::exp(-(10.0 * (v / 255.0 - 0.5) - 2.0))); }

std::vector<FaceRecord> detect(FRCNNDetector& detector, const cv::Mat& image) {
    std::vector<FaceRecord> faces(2);  // stale entries must go
    EXPECT_EQ(said([&] { detector.detect(image, faces); }), "");
    return faces;
}

// A bright cell (column j, row i) leads to anchor 3 there: (16j - 56,
// 16i - 56, 16j + 71, 16i + 71). Zero deltas in the proposal layer and again
// in the decoding each move the far edges out by one pixel, so a face away
// from the edges is 129 x 129 (x2 - x1). One detector takes every scene.
TEST(FRCNNDetector, FindsTheFacesTheSyntheticModelPlaces) {
    const std::string dir = std::filesystem::temp_directory_path() / ("kx_detector_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    test::SyntheticDetectorOptions options;
    options.post_nms_top_n = 2;
    ASSERT_TRUE(write_model_file(test::makeSyntheticDetectorModel(options), dir + "/" + FRCNNDetector::kModelFile));
    FRCNNDetector detector;
    EXPECT_EQ(said([&] { detector.load(dir + "/", 0, 1); }),
              "Loading model " + dir + "/frcnn_full_cross_500000.dat...\nSuccess to open model file\n"
              "Enter into load_model function\nload success\n");
    std::filesystem::remove_all(dir);
    ASSERT_EQ(detector.means, (std::vector<float>{102.9801f, 115.9465f, 122.7717f}));

    const cv::Rect at_5_5(24, 24, 129, 129);
    const struct { const char* why; cv::Mat image; std::vector<std::pair<cv::Rect, int>> want; } scenes[] = {
        {"one face", cells_image(256, 192, {{5, 5, 255}}), {{at_5_5, 255}}},
        {"overlap 9348 / 24452 = 0.38: the weaker face goes",
         cells_image(256, 192, {{5, 5, 255}, {8, 6, 240}}), {{at_5_5, 255}}},
        {"overlap 7524 / 26276 = 0.29: both, best first", cells_image(256, 192, {{9, 6, 240}, {5, 5, 255}}),
         {{at_5_5, 255}, {cv::Rect(88, 40, 129, 129), 240}}},
        {"level 214 scores 0.8009, level 213 0.7946: below 0.8",
         cells_image(256, 192, {{5, 5, 214}, {10, 5, 213}}), {{at_5_5, 214}}},
        {"clipped to x = 1 and to the image width", cells_image(256, 192, {{2, 5, 255}, {13, 5, 240}}),
         {{cv::Rect(1, 24, 104, 129), 255}, {cv::Rect(152, 24, 104, 129), 240}}},
        {"another size, not a multiple of 16", cells_image(250, 170, {{6, 4, 255}}),
         {{cv::Rect(40, 8, 129, 129), 255}}},
    };
    for (const auto& s : scenes) {
        SCOPED_TRACE(s.why);
        const std::vector<FaceRecord> faces = detect(detector, s.image);
        ASSERT_EQ(faces.size(), s.want.size());
        for (size_t k = 0; k < faces.size(); ++k) {
            EXPECT_EQ(faces[k].box, s.want[k].first) << "face " << k;
            EXPECT_NEAR(faces[k].score, face_probability(s.want[k].second), 1e-4) << "face " << k;
            EXPECT_TRUE(faces[k].landmarks.empty() && faces[k].landmarks.type() == CV_32F && faces[k].points.empty());
        }
    }
}

// When the proposal layer keeps no box, the image has no candidate and so
// no face: not the candidates of an earlier image (whose rows the layer's
// output still holds), nor rows no pass ever wrote. The proposal layer's
// parameters are read on every pass, so a huge minimum size drops every box.
TEST(FRCNNDetector, NoProposalMeansNoFaceEveryRun) {
    const std::string dir = std::filesystem::temp_directory_path() / ("kx_noprop_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(write_model_file(test::makeSyntheticDetectorModel(), dir + "/" + FRCNNDetector::kModelFile));
    FRCNNDetector fresh, used;
    said([&] { fresh.load(dir + "/", 0, 1), used.load(dir + "/", 0, 1); });
    std::filesystem::remove_all(dir);
    ASSERT_TRUE(fresh.net->ready && used.net->ready);
    Layer* proposal_of_fresh = fresh.net->layers.at(4);
    Layer* proposal_of_used = used.net->layers.at(4);
    ASSERT_EQ(proposal_of_used->type(), "frcnnproposal");

    const cv::Mat face = cells_image(256, 192, {{0, 0, 255}, {5, 5, 255}});
    ASSERT_EQ(detect(used, face).size(), 1u);
    proposal_of_used->params["rpn_min_size"] = "100000";
    proposal_of_fresh->params["rpn_min_size"] = "100000";
    for (int run = 0; run < 3; ++run) {
        EXPECT_TRUE(detect(used, face).empty()) << "run " << run;
        EXPECT_TRUE(detect(fresh, face).empty()) << "run " << run;
    }
}

TEST(FRCNNDetector, MissingModelIsReportedAndFindsNothing) {
    FRCNNDetector detector;
    EXPECT_EQ(said([&] { detector.load("/nonexistent/models", 0, 1); }),
              "Loading model /nonexistent/models/frcnn_full_cross_500000.dat...\n"
              "Enter into load_model function\nfile pointer is null\nfail to load model\n");
    EXPECT_TRUE(detector.means.empty() && detector.net != nullptr && !detector.net->ready);
    EXPECT_TRUE(detect(detector, cells_image(64, 64, {{1, 1, 255}})).empty());
}

// A square 1.2 times the longer side around the same centre; the centre
// (x + w / 2, y + h / 2), the side and the corner are truncated toward zero,
// and out of range values saturate. Scores and points stay.
TEST(EnlargeToSquare, SquaresTheBoxesAndKeepsTheRest) {
    const std::vector<std::pair<cv::Rect, cv::Rect>> cases = {
        {{10, 20, 100, 80}, {0, 0, 120, 120}},
        {{5, 7, 33, 21}, {1, -2, 39, 39}},  // side 39.6; y = 17 - 19.8 = -2.8 goes to -2
        {{-10, -10, 4, 10}, {-14, -11, 12, 12}},
        {{7, 9, 0, 0}, {7, 9, 0, 0}},
        {{2000000000, 0, 2000000000, 10}, {1800000000, -1200000000, INT_MAX, INT_MAX}},  // centre 3e9, side 2.4e9
    };
    std::vector<FaceRecord> faces(cases.size());
    for (size_t k = 0; k < cases.size(); ++k) faces[k].box = cases[k].first;
    faces[0].score = 0.9f;
    faces[0].points = {cv::Point2f(1, 2)};
    enlargeToSquare(faces);
    for (size_t k = 0; k < cases.size(); ++k) EXPECT_EQ(faces[k].box, cases[k].second) << "box " << k;
    EXPECT_EQ(faces[0].score, 0.9f);
    EXPECT_EQ(faces[0].points, std::vector<cv::Point2f>{cv::Point2f(1, 2)});
}

}  // namespace
}  // namespace kx
