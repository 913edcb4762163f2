// The peer detectors on the same 640 x 480 frame as KXTracker_detect: YuNet
// 2022 through cv::FaceDetectorYN, and YuNet 2023 (which FaceDetectorYN of
// OpenCV 4.6 cannot read) as a forward pass of cv::dnn without its output
// decoding, which only makes it look faster. Each runs with OpenCV's default
// thread count (the argument 0), and on 1 and 2 threads for reference. The
// models are read from ../shared/peers beside the source tree; a missing one
// skips its benchmark.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/objdetect.hpp>

#include "bench_frame.h"
#include "source_tree.h"

namespace kx::bench {

namespace {

std::string peerModel(benchmark::State& state, const char* file) {
    const std::filesystem::path path = sourceTreePath("../shared/peers") / file;
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        state.SkipWithError((path.string() + " is not there").c_str());
        return {};
    }
    return path.string();
}

// threads 0: OpenCV's default.
void useThreads(benchmark::State& state) {
    cv::setNumThreads(state.range(0) > 0 ? int(state.range(0)) : -1);
    state.counters["threads"] = cv::getNumThreads();
}

void yunet2022(benchmark::State& state) {
    const std::string model = peerModel(state, "face_detection_yunet_2022mar.onnx");
    if (model.empty()) return;
    useThreads(state);
    const cv::Mat frame = benchFrame();
    cv::Ptr<cv::FaceDetectorYN> detector = cv::FaceDetectorYN::create(model, "", frame.size(), 0.9f, 0.3f, 5000);
    cv::Mat faces;
    detector->detect(frame, faces);  // the first pass sets up the network
    for (auto _ : state) {
        detector->detect(frame, faces);
        benchmark::DoNotOptimize(faces.data);
    }
    state.counters["faces"] = faces.rows;
    cv::setNumThreads(-1);
}

void yunet2023(benchmark::State& state) {
    const std::string model = peerModel(state, "face_detection_yunet_2023mar.onnx");
    if (model.empty()) return;
    useThreads(state);
    const cv::Mat frame = benchFrame();
    cv::dnn::Net net = cv::dnn::readNet(model);
    net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    const std::vector<std::string> outputs = net.getUnconnectedOutLayersNames();
    std::vector<cv::Mat> results;
    auto pass = [&] {
        net.setInput(cv::dnn::blobFromImage(frame));
        net.forward(results, outputs);
    };
    pass();
    for (auto _ : state) {
        pass();
        benchmark::DoNotOptimize(results.data());
    }
    cv::setNumThreads(-1);
}

}  // namespace

BENCHMARK(yunet2022)->Name("YuNet 2022 FaceDetectorYN 640x480")->ArgName("threads")->Arg(0)->Arg(1)->Arg(2)
    ->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(yunet2023)->Name("YuNet 2023 dnn forward 640x480")->ArgName("threads")->Arg(0)->Arg(1)->Arg(2)
    ->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace kx::bench
