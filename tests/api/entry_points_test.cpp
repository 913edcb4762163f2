// The entry points on a tracker context with synthetic models: the working
// image and the way back to the caller's pixels, the first entry's shape,
// and calls that must give empty lists.
#include <gtest/gtest.h>

#include <algorithm>

#include "api/synthetic_models.h"
#include "api/tracker_context.h"
#include "api/working_image.h"
#include "track/shape_box.h"

namespace kx {
namespace {

using test::captureStdout;
using test::frameWithFaces;
using test::TempFolder;

TEST(WorkingImage, LargerSideRatioTo640AndBack) {
    const float s641 = static_cast<float>(641.0 / 640.0);
    EXPECT_EQ(workingScale(960, 1280), 2.0f);
    EXPECT_EQ(workingScale(640, 640), 1.0f);
    EXPECT_EQ(workingScale(100, 641), s641);
    EXPECT_EQ(workingScale(1920, 1000), 3.0f);  // the larger ratio decides
    EXPECT_EQ(makeWorkingImage(cv::Mat(100, 641, CV_8UC3), s641).size(), cv::Size(640, 100));
    EXPECT_EQ(makeWorkingImage(cv::Mat(960, 1280, CV_8UC3), 2.0f).size(), cv::Size(640, 480));
    // Back to the caller's pixels, truncating: 639 * 641 / 640 = 639.998...
    EXPECT_EQ(scaleBack({639, 1, 320, 0}, s641), cv::Rect(639, 1, 320, 0));
    EXPECT_EQ(scaleBack({-3, 5, 7, 9}, 1.5f), cv::Rect(-4, 7, 10, 13));
}

struct Results {
    std::vector<cv::Rect> rects{cv::Rect(1, 2, 3, 4)};  // stale entries must go
    std::vector<float> scores{0.5f};
    std::vector<cv::Mat> points5{cv::Mat::ones(5, 2, CV_32FC1)};
    std::vector<cv::Mat> points95{cv::Mat::ones(95, 2, CV_32FC1)};
    std::vector<cv::Mat> shapes{cv::Mat::ones(95, 2, CV_32FC1)};
};

class EntryPoints : public ::testing::Test {
protected:
    EntryPoints() : folder_("entry") {}
    void start(int n) {
        test::writeSyntheticModels(folder_.str());
        captureStdout([&] { contextInit(context_, folder_.str(), n); });
        ASSERT_NE(context_.tracker, nullptr);
    }
    Results align95(const cv::Mat& image) {
        Results r;
        EXPECT_EQ(captureStdout([&] {
                      contextDetectAlign95(context_, image, r.rects, r.scores, r.points5, r.points95);
                  }),
                  "");
        return r;
    }
    // Every entry point once on `image`; true when all lists came back empty.
    bool allEmpty(const cv::Mat& image) {
        Results r, a, b;
        captureStdout([&] {
            contextDetect(context_, image, r.rects, r.scores);
            contextDetectAlign5(context_, image, a.rects, a.scores, a.points5);
            contextDetectAlign95(context_, image, b.rects, b.scores, b.points5, b.points95);
            contextAlign95(context_, image, {cv::Rect(104, 56, 129, 129)}, r.points5, r.points95);
            contextTrack(context_, image, r.shapes);
        });
        return r.rects.empty() && r.scores.empty() && r.points5.empty() && r.points95.empty() &&
               r.shapes.empty() && a.rects.empty() && a.points5.empty() && b.rects.empty() && b.points95.empty();
    }

    TempFolder folder_;
    TrackerContext context_;
};

void expectScaledBy(const cv::Mat& big, const cv::Mat& small, float scale) {
    ASSERT_EQ(big.size(), small.size());
    EXPECT_LT(cv::norm(big, cv::Mat(small * scale), cv::NORM_INF), 1e-3);
}

TEST_F(EntryPoints, LargeImageIsAnalysedAtHalfSizeAndScaledBack) {
    start(2);
    // 1280 x 960 with 32-pixel cells shrinks to exactly the 640 x 480 frame
    // with 16-pixel cells: the results must be those of the small frame, doubled.
    cv::Mat big(960, 1280, CV_8UC3, cv::Scalar::all(0));
    for (const cv::Point c : {cv::Point(10, 7), cv::Point(30, 20)}) {
        big(cv::Rect(32 * c.x, 32 * c.y, 32, 32)).setTo(cv::Scalar::all(255));
    }
    const Results small = align95(frameWithFaces(640, 480, {{10, 7}, {30, 20}}));
    const Results large = align95(big);
    ASSERT_EQ(small.rects.size(), 2u);
    ASSERT_EQ(large.rects.size(), 2u);
    ASSERT_EQ(large.points95.size(), 2u);
    // The detector's 129-pixel box around the cell centre (168, 120), made a
    // square 1.2 times as wide.
    EXPECT_EQ(std::count(small.rects.begin(), small.rects.end(), cv::Rect(90, 42, 154, 154)), 1);
    for (size_t k = 0; k < 2; ++k) {
        const cv::Rect s = small.rects[k];
        EXPECT_EQ(large.rects[k], cv::Rect(2 * s.x, 2 * s.y, 2 * s.width, 2 * s.height));
        EXPECT_EQ(large.scores[k], small.scores[k]);
        expectScaledBy(large.points5[k], small.points5[k], 2.0f);
        expectScaledBy(large.points95[k], small.points95[k], 2.0f);
    }
    // The first entry keeps the last face's shape in working-image pixels,
    // as a separate matrix, inactive and without history.
    const TrackedFace& first = context_.tracker->faces[0];
    EXPECT_FALSE(first.active);
    EXPECT_TRUE(first.history.empty());
    expectScaledBy(large.points95[1], first.shape, 2.0f);
    EXPECT_NE(large.points95[1].data, first.shape.data);
}

TEST_F(EntryPoints, TrackingAfterAlign95SeesTheFirstEntryShape) {
    start(1);
    const cv::Mat frame = frameWithFaces(320, 240, {{10, 7}});
    ASSERT_EQ(align95(frame).points95.size(), 1u);
    ASSERT_TRUE(isValidShape(context_.tracker->faces[0].shape));
    // The detection overlaps the inactive first entry's shape, so it is not
    // offered and the entry is reset; calls 2 to 5 do not detect, call 6 does.
    for (int call = 1; call <= 6; ++call) {
        std::vector<cv::Mat> shapes(2);
        captureStdout([&] { contextTrack(context_, frame, shapes); });
        EXPECT_EQ(shapes.size(), call == 6 ? 1u : 0u) << "call " << call;
        if (call == 1) {
            EXPECT_FALSE(isValidShape(context_.tracker->faces[0].shape));
        }
    }
}

TEST_F(EntryPoints, EmptyListsBeforeStartUpAndForUnusableImages) {
    const cv::Mat face = frameWithFaces(320, 240, {{10, 7}});
    EXPECT_TRUE(allEmpty(face));
    start(2);
    cv::Mat floats;
    face.convertTo(floats, CV_32FC3);
    const std::vector<std::pair<const char*, cv::Mat>> images = {
        {"empty", cv::Mat()},
        {"grey", cv::Mat(240, 320, CV_8UC1, cv::Scalar(255))},
        {"four channels", cv::Mat(240, 320, CV_8UC4, cv::Scalar::all(255))},
        {"floats", floats}};
    for (const auto& [name, image] : images) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(allEmpty(image));
    }
    EXPECT_FALSE(allEmpty(face));
}

}  // namespace
}  // namespace kx
