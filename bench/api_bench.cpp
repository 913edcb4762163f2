// The library's entry points per 640 x 480 frame with the trained models of
// the source tree's models/ folder (or of the folder that the environment
// variable KX_BENCH_MODELS names, to time a candidate model): detection,
// detection with 95 landmarks, and tracking, each at a thread count given as
// the benchmark's argument (0: the library's default); and the 95-point path
// per face (KXTracker_align95 on one face box). Timed through
// kx::FaceAnalyzer, which runs the same code as the exported KXTracker_*
// functions on an instance of its own.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "bench_frame.h"
#include "kx/face_analyzer.h"
#include "source_tree.h"

namespace kx::bench {

namespace {

namespace fs = std::filesystem;

const char* const kModelFiles[] = {"frcnn_full_cross_500000.dat", "model95_tern.bin", "cdcn_iter_500000.dat",
                                   "cdcn95_verify_iter_50000.dat"};

std::string modelFolder() {
    const char* chosen = std::getenv("KX_BENCH_MODELS");
    return chosen != nullptr && *chosen != '\0' ? std::string(chosen) : sourceTreePath("models").string();
}

bool modelsPresent(const std::string& folder) {
    for (const char* name : kModelFiles) {
        std::error_code error;
        if (!fs::is_regular_file(fs::path(folder) / name, error)) return false;
    }
    return true;
}

}  // namespace

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

namespace {

// Starts an analyzer on the bundled models with the benchmark's thread
// count, or marks the benchmark skipped.
bool startAnalyzer(benchmark::State& state, FaceAnalyzer& analyzer, int faces) {
    analyzer.setThreads(int(state.range(0)));
    state.counters["threads"] = analyzer.threads();
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

// Five and 95 points on the one face of the frame, its box found once.
void align95PerFace(benchmark::State& state) {
    FaceAnalyzer analyzer;
    if (!startAnalyzer(state, analyzer, 1)) return;
    const cv::Mat frame = benchFrame();
    std::vector<cv::Rect> rects;
    std::vector<float> scores;
    analyzer.detect(frame, rects, scores);
    if (rects.empty()) {
        state.SkipWithError("no face found on the benchmark frame");
        return;
    }
    rects.resize(1);
    std::vector<cv::Mat> points5, points95;
    for (auto _ : state) {
        analyzer.align95(frame, rects, points5, points95);
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

// Argument: threads (0 = the default). Wall-clock time, as the workers do
// part of the work.
BENCHMARK(detectPerFrame)->Name("KXTracker_detect 640x480")->ArgName("threads")->Arg(1)->Arg(2)->Arg(0)
    ->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(align95PerFace)->Name("KXTracker_align95 per face")->ArgName("threads")->Arg(1)->Arg(2)
    ->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(detectAlign95PerFrame)->Name("KXTracker_detect_align95 640x480")->ArgName("threads")->Arg(1)->Arg(2)
    ->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(trackPerFrame)->Name("KXTracker_track 640x480")->ArgName("threads")->Arg(1)->Arg(2)
    ->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace kx::bench
