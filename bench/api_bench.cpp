// The library's entry points per 640 x 480 frame with the trained models of
// the source tree's models/ folder: detection, detection with 95 landmarks,
// and tracking. Timed through kx::FaceAnalyzer, which runs the same code as
// the exported KXTracker_* functions on an instance of its own.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "kx/face_analyzer.h"

namespace kx::bench {

namespace {

namespace fs = std::filesystem;

const char* const kModelFiles[] = {"frcnn_full_cross_500000.dat", "model95_tern.bin", "cdcn_iter_500000.dat",
                                   "cdcn95_verify_iter_50000.dat"};

std::string modelFolder() { return (fs::path(__FILE__).parent_path().parent_path() / "models").string(); }

bool modelsPresent(const std::string& folder) {
    for (const char* name : kModelFiles) {
        std::error_code error;
        if (!fs::is_regular_file(fs::path(folder) / name, error)) return false;
    }
    return true;
}

// A 640 x 480 frame with smooth shading and a few bright and dark blobs, so
// that the detector's proposals and the optical flow have structure to use.
cv::Mat benchFrame() {
    cv::Mat frame(480, 640, CV_8UC3);
    for (int y = 0; y < frame.rows; ++y) {
        for (int x = 0; x < frame.cols; ++x) {
            frame.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<unsigned char>((x * 255) / 640),
                                                  static_cast<unsigned char>((y * 255) / 480),
                                                  static_cast<unsigned char>(((x + y) * 127) / 1120));
        }
    }
    cv::circle(frame, cv::Point(200, 220), 70, cv::Scalar(190, 200, 220), cv::FILLED);
    cv::circle(frame, cv::Point(180, 200), 10, cv::Scalar(30, 30, 30), cv::FILLED);
    cv::circle(frame, cv::Point(220, 200), 10, cv::Scalar(30, 30, 30), cv::FILLED);
    cv::ellipse(frame, cv::Point(200, 255), cv::Size(25, 8), 0, 0, 360, cv::Scalar(40, 40, 120), cv::FILLED);
    cv::circle(frame, cv::Point(470, 240), 60, cv::Scalar(170, 180, 200), cv::FILLED);
    return frame;
}

// Starts an analyzer on the bundled models, or marks the benchmark skipped.
bool startAnalyzer(benchmark::State& state, FaceAnalyzer& analyzer, int faces) {
    const std::string folder = modelFolder();
    if (!modelsPresent(folder)) {
        state.SkipWithError(("no trained models in " + folder).c_str());
        return false;
    }
    // The loaders report on standard output; keep the benchmark table clean.
    std::streambuf* saved = std::cout.rdbuf(nullptr);
    analyzer.start(folder, faces);
    std::cout.rdbuf(saved);
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
