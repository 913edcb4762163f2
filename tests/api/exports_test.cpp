// The shared library as applications load it: its symbol table, and the
// exported functions on their one process-wide tracker.
#ifdef KX_TRACKER_LIBRARY

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

#include "api/synthetic_models.h"
#include "kx_tracker.h"

namespace kx {
namespace {

using test::captureStdout;

TEST(SharedLibrary, ExportsExactlyTheSevenEntryPoints) {
    std::set<std::string> names;
    FILE* pipe = ::popen(("nm -D --defined-only '" KX_TRACKER_LIBRARY "' 2>/dev/null"), "r");
    ASSERT_NE(pipe, nullptr);
    char line[4096];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::istringstream in(line);
        std::string address, type, name;
        // T: code; W / i: weak or indirect code that would also be callable.
        if (in >> address >> type >> name && (type == "T" || type == "W" || type == "i")) names.insert(name);
    }
    ::pclose(pipe);
    EXPECT_EQ(names, (std::set<std::string>{"KXTracker_align95", "KXTracker_destroy", "KXTracker_detect",
                                            "KXTracker_detect_align5", "KXTracker_detect_align95",
                                            "KXTracker_init", "KXTracker_track"}));
}

// Calls every entry point once (tracking twice) on a frame with one face;
// true when every list came back empty.
bool allEmpty() {
    cv::Mat frame = test::frameWithFaces(320, 240, {{10, 7}});
    std::vector<cv::Rect> rects{cv::Rect(1, 1, 1, 1)}, given{cv::Rect(104, 56, 129, 129)};
    std::vector<float> scores{0.5f};
    std::vector<cv::Mat> p5(1), p95(1), shapes(1);
    bool empty = true;
    captureStdout([&] {
        KXTracker_detect(frame, rects, scores);
        empty = empty && rects.empty() && scores.empty();
        KXTracker_detect_align5(frame, rects, scores, p5);
        empty = empty && p5.empty();
        KXTracker_align95(frame, given, p5, p95);
        empty = empty && p95.empty();
        KXTracker_detect_align95(frame, rects, scores, p5, p95);
        empty = empty && rects.empty() && p95.empty();
        KXTracker_track(frame, shapes);
        KXTracker_track(frame, shapes);
        empty = empty && shapes.empty();
    });
    return empty;
}

TEST(Exports, ProcessWideTrackerLifeCycle) {
    const test::TempFolder folder("exports");
    test::writeSyntheticModels(folder.str());
    KXTracker_destroy();
    EXPECT_TRUE(allEmpty());
    // A null directory is an empty one: the tracker starts and finds nothing.
    const std::string out = captureStdout([] { KXTracker_init(nullptr, 1); });
    EXPECT_EQ(out.rfind("Loading model /frcnn_full_cross_500000.dat...\n", 0), 0u) << out;
    EXPECT_TRUE(allEmpty());

    // A second start-up replaces the first, and n = 0 leaves it running.
    captureStdout([&] { KXTracker_init(folder.str().c_str(), 2); });
    EXPECT_EQ(captureStdout([&] { KXTracker_init(folder.str().c_str(), 0); }), "");
    EXPECT_FALSE(allEmpty());
    cv::Mat frame = test::frameWithFaces(320, 240, {{10, 7}});
    std::vector<cv::Rect> rects;
    std::vector<float> scores;
    captureStdout([&] { KXTracker_detect(frame, rects, scores); });
    EXPECT_EQ(rects, (std::vector<cv::Rect>{cv::Rect(90, 42, 154, 154)}));

    KXTracker_destroy();
    KXTracker_destroy();  // harmless
    EXPECT_TRUE(allEmpty());
}

// KX_THREADS picks the thread count at start-up; any value, a refused one
// included, gives the same faces to the bit.
TEST(Exports, ThreadCountFromTheEnvironmentChangesNoResult) {
    const test::TempFolder folder("exports_threads");
    test::writeSyntheticModels(folder.str());
    const cv::Mat frame = test::frameWithFaces(320, 240, {{10, 7}});
    std::vector<cv::Rect> first_rects;
    std::vector<float> first_scores;
    for (const char* value : {"1", "3", "not a number", ""}) {
        SCOPED_TRACE(value);
        if (*value != '\0') {
            setenv("KX_THREADS", value, 1);
        } else {
            unsetenv("KX_THREADS");
        }
        captureStdout([&] { KXTracker_init(folder.str().c_str(), 1); });
        std::vector<cv::Rect> rects;
        std::vector<float> scores;
        cv::Mat image = frame.clone();
        captureStdout([&] { KXTracker_detect(image, rects, scores); });
        KXTracker_destroy();
        ASSERT_EQ(rects.size(), 1u);
        if (first_rects.empty()) {
            first_rects = rects;
            first_scores = scores;
            continue;
        }
        EXPECT_EQ(rects, first_rects);
        ASSERT_EQ(scores.size(), first_scores.size());
        EXPECT_EQ(std::memcmp(scores.data(), first_scores.data(), scores.size() * sizeof(float)), 0);
    }
    unsetenv("KX_THREADS");
}

}  // namespace
}  // namespace kx

#endif  // KX_TRACKER_LIBRARY
