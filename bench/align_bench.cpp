// Landmark alignment per face: the five-point network on a face box, the
// 95-point method (warp, network, mapping back; with and without the
// regression cascade) and the regression cascade alone on a model of
// realistic size (4 stages, 95 points, 500 trees of depth 5 per stage).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "align/five_points.h"
#include "align/landmark_model.h"
#include "align/ninety_five_points.h"
#include "align/shape_regression.h"
#include "align/tracked_face.h"
#include "net/net.h"
#include "net/thread_pool.h"
#include "sample_network.h"

namespace kx::bench {

namespace {

constexpr int kFrameWidth = 640;
constexpr int kFrameHeight = 480;

// A textured grey frame: random 8 x 8 cells, so that pixel tests branch
// both ways.
cv::Mat textured_frame() {
    cv::Mat cells(kFrameHeight / 8, kFrameWidth / 8, CV_8UC1);
    cv::RNG(20240611).fill(cells, cv::RNG::UNIFORM, 0, 256);
    cv::Mat frame;
    cv::resize(cells, frame, cv::Size(kFrameWidth, kFrameHeight), 0, 0, cv::INTER_NEAREST);
    return frame;
}

std::unique_ptr<Net> load_network(const ModelFile& model) {
    const std::string bytes = serialize_model(model);
    auto net = std::make_unique<Net>();
    FILE* file = open_bytes(bytes);
    const bool loaded = file != nullptr && net->load_model_single_input(file);
    if (file != nullptr) std::fclose(file);
    return loaded ? std::move(net) : nullptr;
}

// The sample network with its point head widened to 190 values: the shape
// of the 95-point network (60 x 60 grey in, 95 points and a face score out).
ModelFile ninety_five_point_network() {
    ModelFile model = sample_network();
    for (LayerRecord& layer : model.layers) {
        if (layer.params.find("node_num:10,") == std::string::npos) continue;
        layer.params = layer_params({{"type", "fullconnect"}, {"node_num", "190"}});
        std::mt19937 rng(7);
        std::uniform_real_distribution<float> small(-0.01f, 0.01f);
        layer.weights.assign(190 * 128 + 190, 0.0f);
        for (float& w : layer.weights) w = small(rng);
    }
    return model;
}

// A face-like mean shape in box units: points spread over an ellipse.
cv::Mat mean_shape() {
    cv::Mat mean(95, 2, CV_32FC1);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> unit(-0.7f, 0.7f);
    for (int i = 0; i < 95; ++i) {
        mean.at<float>(i, 0) = unit(rng);
        mean.at<float>(i, 1) = unit(rng) * 1.1f;
    }
    return mean;
}

// 4 stages of 500 complete trees of depth 5 (31 splits, 32 leaves, children
// of node i at 2i + 1 and 2i + 2), random features and small increments.
LandmarkModel realistic_model() {
    constexpr int kStages = 4, kTrees = 500, kSplits = 31, kLeaves = 32;
    LandmarkModel model;
    model.landmark_num_ = 95;
    model.stage_count = kStages;
    model.mean_shape = mean_shape();
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> offset(-0.3f, 0.3f), increment(-1e-3f, 1e-3f),
        threshold(-40.0f, 40.0f);
    std::uniform_int_distribution<int> landmark(0, 94);
    model.stages.resize(kStages);
    for (RegressionStage& stage : model.stages) {
        stage.landmark_count = 95;
        stage.leaf_rows = kTrees * kLeaves;
        stage.increments.resize(static_cast<size_t>(stage.leaf_rows) * 190);
        for (float& v : stage.increments) v = increment(rng);
        stage.trees.resize(kTrees);
        for (RegressionTree& tree : stage.trees) {
            tree.leaf_count = kLeaves;
            tree.nodes.resize(kSplits + kLeaves);
            for (int i = 0; i < kSplits + kLeaves; ++i) {
                TreeNode& node = tree.nodes[static_cast<size_t>(i)];
                if (i >= kSplits) {
                    node.leaf = i - kSplits;
                    continue;
                }
                node.landmark_a = static_cast<uint8_t>(landmark(rng));
                node.landmark_b = static_cast<uint8_t>(landmark(rng));
                node.offset_a_x = offset(rng);
                node.offset_a_y = offset(rng);
                node.offset_b_x = offset(rng);
                node.offset_b_y = offset(rng);
                node.threshold = threshold(rng);
                node.left = static_cast<uint8_t>(2 * i + 1);
                node.right = static_cast<uint8_t>(2 * i + 2);
            }
        }
    }
    return model;
}

// Five points of an upright face about 120 pixels wide near the frame centre.
FaceRecord face_in_frame() {
    FaceRecord face;
    face.box = cv::Rect(260, 160, 144, 144);
    face.landmarks = (cv::Mat_<float>(5, 2) << 300, 210, 360, 212, 331, 245, 305, 275, 356, 276);
    return face;
}

void five_point_alignment(benchmark::State& state) {
    auto net = load_network(sample_network());
    if (!net) {
        state.SkipWithError("the sample network does not load");
        return;
    }
    const cv::Mat frame = textured_frame();
    const FaceRecord face = face_in_frame();
    cv::Mat points;
    for (auto _ : state) {
        if (alignFivePoints(*net, frame, face.box, points) != 0) {
            state.SkipWithError("alignFivePoints failed");
            return;
        }
        benchmark::DoNotOptimize(points.data);
    }
}

void ninety_five_point_alignment(benchmark::State& state, bool with_cascade) {
    auto net = load_network(ninety_five_point_network());
    if (!net) {
        state.SkipWithError("the 95-point network does not load");
        return;
    }
    const LandmarkModel model = with_cascade ? realistic_model() : LandmarkModel();
    const cv::Mat frame = textured_frame();
    const FaceRecord face = face_in_frame();
    TrackedFace entry;
    bool is_face = false;
    for (auto _ : state) {
        entry.shape = cv::Mat();  // every pass aligns a fresh face
        if (alignNinetyFivePoints(entry, *net, model, frame, face, is_face) != 0) {
            state.SkipWithError("alignNinetyFivePoints failed");
            return;
        }
        benchmark::DoNotOptimize(entry.shape.data);
    }
}

void cascade_only(benchmark::State& state) {
    const LandmarkModel model = realistic_model();
    const cv::Mat frame = textured_frame();
    ShapeBox box;
    box.x = 250;
    box.y = 150;
    box.width = box.height = 150;
    box.centre_x = box.x + 75;
    box.centre_y = box.y + 75;
    cv::Mat start = mean_shape() * 75.0;
    for (int i = 0; i < 95; ++i) {
        start.at<float>(i, 0) += box.centre_x + 2.0f;  // a little off the mean
        start.at<float>(i, 1) += box.centre_y - 1.0f;
    }
    ThreadPool pool(int(state.range(0)));
    cv::Mat shape;
    for (auto _ : state) {
        start.copyTo(shape);
        if (predictShape(model, frame, shape, box, &pool) != 0) {
            state.SkipWithError("predictShape failed");
            return;
        }
        benchmark::DoNotOptimize(shape.data);
    }
    state.counters["trees/s"] =
        benchmark::Counter(4.0 * 500, benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

BENCHMARK(five_point_alignment)->Name("alignFivePoints per face (sample network)")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ninety_five_point_alignment, network, false)
    ->Name("alignNinetyFivePoints per face, network only")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ninety_five_point_alignment, cascade, true)
    ->Name("alignNinetyFivePoints per face, network + 4x500 tree cascade")
    ->Unit(benchmark::kMicrosecond);
// Argument: threads.
BENCHMARK(cascade_only)
    ->Name("predictShape per face, 4 stages x 500 trees of depth 5")
    ->ArgName("threads")->Arg(1)->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace kx::bench
