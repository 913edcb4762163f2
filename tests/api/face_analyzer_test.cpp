// FaceAnalyzer instances on two threads at once give the results of a
// single-threaded run: the library keeps no state shared between them.
#include "kx/face_analyzer.h"

#include <gtest/gtest.h>

#include <thread>

#include "api/synthetic_models.h"

namespace kx {
namespace {

using test::frameWithFaces;

// Everything one run produced, flattened to numbers.
void append(std::vector<float>& out, const std::vector<cv::Mat>& mats) {
    out.push_back(float(mats.size()));
    for (const cv::Mat& m : mats) {
        const cv::Mat flat = m.clone().reshape(1, 1);
        out.insert(out.end(), flat.begin<float>(), flat.end<float>());
    }
}

// A video whose faces appear, stay, vanish and come back, with single-image
// calls in between.
std::vector<float> runScenario(FaceAnalyzer& analyzer) {
    std::vector<float> t;
    std::vector<cv::Rect> rects;
    std::vector<float> scores;
    std::vector<cv::Mat> p5, p95, shapes;
    for (int k = 0; k < 60; ++k) {
        std::vector<cv::Point> cells;
        if (k % 17 < 12) cells.push_back({5 + (k / 17) % 3, 6});
        if (k > 8) cells.push_back({30, 12});
        const cv::Mat frame = frameWithFaces(640, 480, cells);
        analyzer.track(frame, shapes);
        append(t, shapes);
        if (k % 10 == 0) {
            analyzer.detectAlign95(frame, rects, scores, p5, p95);
            for (const cv::Rect& r : rects) t.insert(t.end(), {float(r.x), float(r.y), float(r.width)});
            t.insert(t.end(), scores.begin(), scores.end());
            append(t, p5);
            append(t, p95);
        }
    }
    return t;
}

TEST(FaceAnalyzerThreads, TwoInstancesOnTwoThreadsMatchASingleThreadedRun) {
    const test::TempFolder folder("analyzer");
    test::writeSyntheticModels(folder.str());
    std::vector<float> reference, first, second;
    test::captureStdout([&] {
        FaceAnalyzer alone(folder.str(), 2);
        reference = runScenario(alone);
        std::thread a([&] {
            FaceAnalyzer analyzer(folder.str(), 2);
            first = runScenario(analyzer);
        });
        std::thread b([&] {
            FaceAnalyzer analyzer(folder.str(), 2);
            second = runScenario(analyzer);
        });
        a.join();
        b.join();
    });
    ASSERT_GT(reference.size(), 60u * 2);
    EXPECT_EQ(first, reference);
    EXPECT_EQ(second, reference);
}

}  // namespace
}  // namespace kx
