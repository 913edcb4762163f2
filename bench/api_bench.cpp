// The library's entry points per 640 x 480 frame with the trained models of
// the source tree's models/ folder: detection, detection with 95 landmarks,
// and tracking. Timed through kx::FaceAnalyzer, which runs the same code as
// the exported KXTracker_* functions on an instance of its own.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "kx/face_analyzer.h"
#include "source_tree.h"

namespace kx::bench {

namespace {

namespace fs = std::filesystem;

const char* const kModelFiles[] = {"frcnn_full_cross_500000.dat", "model95_tern.bin", "cdcn_iter_500000.dat",
                                   "cdcn95_verify_iter_50000.dat"};

std::string modelFolder() { return sourceTreePath("models").string(); }

bool modelsPresent(const std::string& folder) {
    for (const char* name : kModelFiles) {
        std::error_code error;
        if (!fs::is_regular_file(fs::path(folder) / name, error)) return false;
    }
    return true;
}

// A 640 x 480 frame with one real face: the bundled portrait scaled to cover
// the frame and cut around its centre (the face fills about a third of the
// frame's height).
cv::Mat benchFrame() {
    const cv::Mat photo = cv::imread(sourceTreePath("samples/obama.jpg").string(), cv::IMREAD_COLOR);
    if (photo.empty()) return cv::Mat(480, 640, CV_8UC3, cv::Scalar(128, 128, 128));
    const double k = std::max(640.0 / photo.cols, 480.0 / photo.rows);
    cv::Mat big;
    cv::resize(photo, big, cv::Size(), k, k, cv::INTER_AREA);
    // Keep the upper part, where the face is.
    return big(cv::Rect((big.cols - 640) / 2, 0, 640, 480)).clone();
}

// Starts an analyzer on the bundled models, or marks the benchmark skipped.
bool startAnalyzer(benchmark::State& state, FaceAnalyzer& analyzer, int faces) {
    const std::string folder = modelFolder();
    if (!modelsPresent(folder)) {
        state.SkipWithError(("no trained models in " + folder).c_str());
        return false;
    }
    {
        QuietStdout quiet;
        analyzer.start(folder, faces);
    }
    return true;
}

void detectPerFrame(benchmark::State& state) {
    FaceAnalyzer analyzer;
    if (!startAnalyzer(state, analyzer, 1)) return;
    const cv::Mat frame = benchFrame();
    std::vector<cv::Rect> rects;
    std::vector<float> scores;
    for (auto _ : state) {
        analyzer.detect(frame, rects, scores);
        benchmark::DoNotOptimize(rects.data());
    }
    state.counters["faces"] = static_cast<double>(rects.size());
}

void detectAlign95PerFrame(benchmark::State& state) {
    FaceAnalyzer analyzer;
    if (!startAnalyzer(state, analyzer, 1)) return;
    const cv::Mat frame = benchFrame();
    std::vector<cv::Rect> rects;
    std::vector<float> scores;
    std::vector<cv::Mat> points5, points95;
    for (auto _ : state) {
        analyzer.detectAlign95(frame, rects, scores, points5, points95);
        benchmark::DoNotOptimize(points95.data());
    }
    state.counters["faces"] = static_cast<double>(points95.size());
}

// Tracking over a still frame: most calls skip the detector, so the mean
// shows the optical-flow-and-refit cost with the detector's share spread
// over its schedule.
void trackPerFrame(benchmark::State& state) {
    FaceAnalyzer analyzer;
    if (!startAnalyzer(state, analyzer, 4)) return;
    const cv::Mat frame = benchFrame();
    std::vector<cv::Mat> shapes;
    for (auto _ : state) {
        analyzer.track(frame, shapes);
        benchmark::DoNotOptimize(shapes.data());
    }
    state.counters["faces"] = static_cast<double>(shapes.size());
    state.counters["detector calls"] = static_cast<double>(analyzer.trackingDetectorRuns());
}

}  // namespace

BENCHMARK(detectPerFrame)->Name("KXTracker_detect 640x480")->Unit(benchmark::kMillisecond);
BENCHMARK(detectAlign95PerFrame)->Name("KXTracker_detect_align95 640x480")->Unit(benchmark::kMillisecond);
BENCHMARK(trackPerFrame)->Name("KXTracker_track 640x480")->Unit(benchmark::kMillisecond);

}  // namespace kx::bench
