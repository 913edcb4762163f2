// Start-up and shut-down of a tracker context: the console lines, what each
// missing model file leaves working, directory texts and repeated calls.
#include <gtest/gtest.h>

#include <algorithm>

#include "api/synthetic_models.h"
#include "api/tracker_context.h"

namespace kx {
namespace {

using test::captureStdout;
using test::frameWithFaces;
using test::TempFolder;
using test::writeSyntheticModels;

std::string detectorLoaded(const std::string& folder) {
    return "Loading model " + folder + "frcnn_full_cross_500000.dat...\nSuccess to open model file\n"
           "Enter into load_model function\nload success\n";
}
const std::string kCascadeLoaded = "Loading model...\nfirst level num read and landmark_num_: 0 95\n"
                                   "Model loaded successfully...\n";
const std::string kInitError = "load model err!\n model init error\n";

// What answers after a start-up, on a frame with one face: detection, five
// points, 95 points, tracking.
struct Working {
    bool detect, align5, align95, track;
    bool operator==(const Working& o) const {
        return detect == o.detect && align5 == o.align5 && align95 == o.align95 && track == o.track;
    }
};
const Working kAll{true, true, true, true}, kNone{false, false, false, false};

Working probe(TrackerContext& context) {
    Working w{};
    const cv::Mat frame = frameWithFaces(320, 240, {{10, 7}});
    std::vector<cv::Rect> rects;
    std::vector<float> scores;
    std::vector<cv::Mat> p5, p95, shapes;
    captureStdout([&] {
        contextDetect(context, frame, rects, scores);
        w.detect = rects.size() == 1;
        contextDetectAlign5(context, frame, rects, scores, p5);
        w.align5 = p5.size() == 1;
        contextAlign95(context, frame, {cv::Rect(104, 64, 129, 129)}, p5, p95);
        w.align95 = p95.size() == 1;
        // The 95-point call leaves its shape in the first entry, which hides
        // the face from the first tracking call; the sixth call detects again.
        for (int call = 0; call < 6 && !w.track; ++call) {
            contextTrack(context, frame, shapes);
            w.track = shapes.size() == 1;
        }
    });
    return w;
}

TEST(TrackerStartup, EachMissingModelFileInTurn) {
    struct Case {
        std::string skip;
        std::string console;
        bool prefix_only;  // the cascade's reason follows the file name
        size_t entries;
        Working works;
    };
    const TempFolder folder("models");
    const std::string dir = folder.str() + "/";
    const std::vector<Case> cases = {
        {"", detectorLoaded(dir) + kCascadeLoaded, false, 3, kAll},
        {kDetectorModelFile,
         "Loading model " + dir + "frcnn_full_cross_500000.dat...\nEnter into load_model function\n"
         "file pointer is null\nfail to load model\n" + kCascadeLoaded,
         false, 3, {false, false, true, false}},
        // An empty cascade refines nothing, so every component still answers.
        {kLandmarkModelFile, detectorLoaded(dir) + "Loading model...\nfail to load landmark model " + dir +
         "model95_tern.bin", true, 3, kAll},
        {kFivePointModelFile, detectorLoaded(dir) + kCascadeLoaded + kInitError, false, 0, {true, false, false, false}},
        {kNinetyFivePointModelFile, detectorLoaded(dir) + kCascadeLoaded + kInitError, false, 0,
         {true, true, false, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("missing: " + c.skip);
        std::filesystem::remove_all(folder.path());
        std::filesystem::create_directories(folder.path());
        writeSyntheticModels(folder.str(), c.skip);
        TrackerContext context;
        const std::string out = captureStdout([&] { contextInit(context, folder.str(), 3); });
        const std::string& expected = c.console;
        if (c.prefix_only) {
            EXPECT_EQ(out.rfind(expected, 0), 0u) << out;
            EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 6) << out;
        } else {
            EXPECT_EQ(out, expected);
        }
        ASSERT_NE(context.tracker, nullptr);
        EXPECT_EQ(context.tracker->capacity, 3);
        EXPECT_EQ(context.tracker->faces.size(), c.entries);
        EXPECT_TRUE(probe(context) == c.works);
    }
}

TEST(TrackerStartup, TrailingSlashGivesTheSamePaths) {
    const TempFolder folder("models");
    writeSyntheticModels(folder.str());
    TrackerContext context;
    const std::string without = captureStdout([&] { contextInit(context, folder.str(), 1); });
    const std::string with = captureStdout([&] { contextInit(context, folder.str() + "/", 1); });
    EXPECT_EQ(without, with);
    EXPECT_EQ(with, detectorLoaded(folder.str() + "/") + kCascadeLoaded);
}

TEST(TrackerStartup, ZeroCountDestroyTwiceAndRestart) {
    const TempFolder folder("models");
    writeSyntheticModels(folder.str());
    TrackerContext context;
    EXPECT_EQ(captureStdout([&] { contextInit(context, folder.str(), 0); }), "");
    EXPECT_EQ(context.tracker, nullptr);
    EXPECT_EQ(context.detector, nullptr);

    captureStdout([&] { contextInit(context, folder.str(), 2); });
    const Tracker* running = context.tracker;
    for (int n : {0, -3}) EXPECT_EQ(captureStdout([&] { contextInit(context, folder.str(), n); }), "");
    EXPECT_EQ(context.tracker, running);
    probe(context);  // leave state in the tracker that a restart must free

    for (int k = 0; k < 2; ++k) EXPECT_EQ(captureStdout([&] { contextDestroy(context); }), "");
    EXPECT_EQ(context.tracker, nullptr);
    ASSERT_NE(context.detector, nullptr);  // kept, without its network
    EXPECT_EQ(context.detector->net, nullptr);
    EXPECT_TRUE(probe(context) == kNone);

    captureStdout([&] { contextInit(context, folder.str(), 2); });
    ASSERT_NE(context.tracker, nullptr);
    EXPECT_EQ(context.tracker->detect_countdown, 0);
    EXPECT_TRUE(probe(context) == kAll);
}

}  // namespace
}  // namespace kx
