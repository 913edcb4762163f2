// Inputs at and beyond the library's limits: thin images, huge caller boxes,
// absurd face counts, frames too large to track, and models that cannot be
// used. Nothing throws out of the entry points; where work cannot be done
// the lists come back empty and one line goes to standard error.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>

#include <opencv2/imgproc.hpp>

#include "align/geometry.h"
#include "api/synthetic_models.h"
#include "api/tracker_context.h"
#include "api/working_image.h"
#include "kx/face_analyzer.h"

namespace kx {
namespace {

using test::captureStdout;
using test::frameWithFaces;
using test::TempFolder;

std::string captureStderr(const std::function<void()>& run) {
    testing::internal::CaptureStderr();
    run();
    return testing::internal::GetCapturedStderr();
}

class Limits : public ::testing::Test {
protected:
    Limits() : folder_("limits") {}
    void start(int n) {
        test::writeSyntheticModels(folder_.str());
        captureStdout([&] { contextInit(context_, folder_.str(), n); });
        ASSERT_NE(context_.tracker, nullptr);
    }
    TempFolder folder_;
    TrackerContext context_;
};

// A long side past 640 shrinks a one-pixel side to nothing; it keeps one
// row (or column), and every entry point answers.
TEST_F(Limits, ThinImagesAreAnalysedWithoutFailing) {
    start(1);
    const cv::Size sizes[] = {{1, 1281}, {2, 2561}, {1281, 1}, {1, 2000}, {2000, 3}};
    for (const cv::Size& size : sizes) {
        SCOPED_TRACE(testing::Message() << size.width << " x " << size.height);
        const cv::Mat image(size, CV_8UC3, cv::Scalar::all(128));
        const float scale = workingScale(image.rows, image.cols);
        const cv::Mat working = makeWorkingImage(image, scale);
        EXPECT_GE(working.rows, 1);
        EXPECT_GE(working.cols, 1);
        EXPECT_LE(std::max(working.rows, working.cols), 640);
        std::vector<cv::Rect> rects{{1, 2, 3, 4}};
        std::vector<float> scores{1.0f};
        std::vector<cv::Mat> p5{cv::Mat()}, p95{cv::Mat()}, shapes{cv::Mat()};
        std::string errors;
        captureStdout([&] {
            errors = captureStderr([&] {
                contextDetect(context_, image, rects, scores);
                contextDetectAlign5(context_, image, rects, scores, p5);
                contextDetectAlign95(context_, image, rects, scores, p5, p95);
                contextAlign95(context_, image, {cv::Rect(0, 0, 1, 1)}, p5, p95);
                contextTrack(context_, image, shapes);
            });
        });
        EXPECT_EQ(errors, "");  // nothing failed inside
        EXPECT_TRUE(rects.empty() && scores.empty() && shapes.empty());
    }
}

// However large the caller's box, the five-point crop is built without a
// cut of the box's size: a box of side 200,000 is answered at once.
TEST_F(Limits, HugeCallerBoxesNeedOnlyTheCrop) {
    start(1);
    const cv::Mat image = frameWithFaces(320, 240, {{10, 7}});
    for (const int side : {60000, 200000, INT_MAX / 2}) {
        SCOPED_TRACE(side);
        std::vector<cv::Mat> p5, p95;
        std::string errors;
        captureStdout([&] {
            errors = captureStderr([&] {
                contextAlign95(context_, image, {cv::Rect(168 - side / 2, 120 - side / 2, side, side)}, p5, p95);
            });
        });
        EXPECT_EQ(errors, "");
        EXPECT_EQ(p5.size(), p95.size());
    }
}

// Past the size where the cut is made whole, the crop is sampled straight
// from the frame; it matches the resized cut up to rounding.
TEST(CropResized, SampledCropMatchesTheResizedCut) {
    cv::Mat frame(300, 400, CV_8UC1);
    cv::randu(frame, 0, 256);
    cv::GaussianBlur(frame, frame, cv::Size(0, 0), 40);  // smooth, as a face at this scale would be
    const cv::Rect box(-2000, -1900, 4200, 4100);  // 17.2 megapixels, the frame inside
    ASSERT_GT(int64_t(box.width) * box.height, kDirectCropPixels);
    cv::Mat sampled, cut, resized;
    cropResized(box, frame, kCropSide, sampled);
    cropWithPadding(box, frame, cut);
    cv::resize(cut, resized, cv::Size(kCropSide, kCropSide), 0, 0, cv::INTER_LINEAR);
    ASSERT_EQ(sampled.size(), resized.size());
    EXPECT_LE(cv::norm(sampled, resized, cv::NORM_INF), 2.0);
    EXPECT_GT(cv::countNonZero(resized != 1), 0);  // the frame's pixels are in it

    const cv::Rect small(-20, 30, 200, 200);  // below the limit: the cut itself
    cropResized(small, frame, kCropSide, sampled);
    cropWithPadding(small, frame, cut);
    cv::resize(cut, resized, cv::Size(kCropSide, kCropSide), 0, 0, cv::INTER_LINEAR);
    EXPECT_EQ(cv::norm(sampled, resized, cv::NORM_INF), 0.0);
}

// More faces than the limit start nothing, with one line; a running tracker
// stays as it was.
TEST_F(Limits, FaceCountBeyondTheLimitStartsNothing) {
    start(2);
    Tracker* const running = context_.tracker;
    for (const int n : {kMaxTrackedFaces + 1, INT_MAX}) {
        std::string errors;
        captureStdout([&] { errors = captureStderr([&] { contextInit(context_, folder_.str(), n); }); });
        EXPECT_EQ(errors, "KXTracker_init: " + std::to_string(n) + " faces asked for, at most 1024 can be tracked; "
                          "nothing started\n");
        EXPECT_EQ(context_.tracker, running);
    }
    std::string errors;
    captureStdout([&] { errors = captureStderr([&] { contextInit(context_, folder_.str(), kMaxTrackedFaces); }); });
    EXPECT_EQ(errors, "");
    ASSERT_NE(context_.tracker, nullptr);
    EXPECT_EQ(context_.tracker->faces.size(), size_t(kMaxTrackedFaces));
}

// A frame above the tracking limit gives no shapes and one line, once per
// frame size; tracking at an ordinary size goes on afterwards.
TEST_F(Limits, TrackingFrameBeyondTheLimitGivesNoShapes) {
    start(1);
    const cv::Mat huge = frameWithFaces(4097, 4096, {{10, 7}});
    std::vector<cv::Mat> shapes{cv::Mat()};
    std::string errors;
    captureStdout([&] {
        errors = captureStderr([&] {
            contextTrack(context_, huge, shapes);
            contextTrack(context_, huge, shapes);
        });
    });
    EXPECT_TRUE(shapes.empty());
    EXPECT_EQ(errors, "KXTracker_track: frame of 4097 x 4096 pixels is larger than 16 megapixels; no faces tracked\n");
    const cv::Mat ordinary = frameWithFaces(640, 480, {{10, 7}});
    captureStdout([&] { contextTrack(context_, ordinary, shapes); });
    EXPECT_EQ(shapes.size(), 1u);
}

// Which model files a start could not use, by file name.
TEST(UnusableModels, NamesEachFileThatFailedToLoad) {
    const TempFolder folder("unusable");
    test::writeSyntheticModels(folder.str());
    FaceAnalyzer analyzer;
    EXPECT_TRUE(analyzer.unusableModels().empty());  // not started
    captureStdout([&] { analyzer.start(folder.str(), 1); });
    EXPECT_TRUE(analyzer.unusableModels().empty());
    for (const char* file : {kDetectorModelFile, kLandmarkModelFile, kFivePointModelFile, kNinetyFivePointModelFile}) {
        SCOPED_TRACE(file);
        const std::string path = folder.str() + "/" + file;
        std::ifstream in(path, std::ios::binary);
        const std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        in.close();
        std::ofstream(path, std::ios::binary | std::ios::trunc) << kept.substr(0, kept.size() / 2);
        captureStdout([&] { analyzer.start(folder.str(), 1); });
        EXPECT_EQ(analyzer.unusableModels(), std::vector<std::string>{file});
        std::ofstream(path, std::ios::binary | std::ios::trunc) << kept;
    }
    analyzer.stop();
    EXPECT_TRUE(analyzer.unusableModels().empty());
}

}  // namespace
}  // namespace kx
