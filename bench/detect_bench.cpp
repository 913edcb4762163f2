// The face detector's detection run at 640 x 480 on the synthetic two-input
// detector model of the tests: the whole run, then its four segments timed
// on their own (backbone up to the proposals, the proposal layer, ROI
// pooling, and the classification head), each by running its layers through
// the network's own wiring after one full run has set every shape.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "detect/detection_layers.h"
#include "detect/detection_run.h"
#include "net/net.h"
#include "stdcnn_writer.h"
#include "tests/detect/synthetic_detector_model.h"

namespace kx::bench {

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;

// Mean-subtracted planes of a 640 x 480 image whose 16 x 16 cells have
// random grey levels, so that about half the cells score as faces and the
// proposal layer has real sorting and suppression to do.
std::vector<float> detector_input() {
    const float means[3] = {102.9801f, 115.9465f, 122.7717f};
    std::mt19937 rng(20240603);
    std::uniform_int_distribution<int> grey(0, 255);
    std::vector<int> cell(size_t((kWidth / 16) * (kHeight / 16)));
    for (int& v : cell) v = grey(rng);
    std::vector<float> data(size_t(3 * kWidth * kHeight));
    for (int c = 0; c < 3; ++c)
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                data[(size_t(c) * kHeight + size_t(y)) * kWidth + size_t(x)] =
                    float(cell[size_t((y / 16) * (kWidth / 16) + x / 16)]) - means[c];
    return data;
}

const std::vector<float> kInfo = {float(kHeight), float(kWidth), 1.0f};

// A loaded detector network that has run once on the benchmark image.
struct DetectorRig {
    Net net;
    std::vector<float> data = detector_input();
    size_t proposal = 0;  // index of the proposal layer
    size_t pooling = 0;   // index of the ROI pooling layer
    bool ok = false;
    std::string error;

    DetectorRig() {
        register_detection_layers();
        const std::string bytes = serialize_model(test::makeSyntheticDetectorModel());
        FILE* file = open_bytes(bytes);
        const bool loaded = file != nullptr && net.load_model(file);
        if (file != nullptr) std::fclose(file);
        if (!loaded) {
            error = "the synthetic detector model does not load";
            return;
        }
        for (size_t k = 0; k < net.layers.size(); ++k) {
            if (net.layers[k]->type() == "frcnnproposal") proposal = k;
            if (net.layers[k]->type() == "roipooling") pooling = k;
        }
        net.detect(data, kInfo, 0.8f);
        ok = true;
    }

    // Runs layers [first, last) as the network wires them.
    void run(size_t first, size_t last) {
        for (size_t k = first; k < last; ++k) net.run_layer(k);
    }
    int candidates() const { return net.blobs[size_t(net.top_ids[proposal][0])]->num; }
};

DetectorRig& rig() {
    static DetectorRig r;
    return r;
}

bool ready(benchmark::State& state) {
    if (!rig().ok) state.SkipWithError(rig().error.c_str());
    return rig().ok;
}

void detection_run(benchmark::State& state) {
    if (!ready(state)) return;
    size_t faces = 0;
    for (auto _ : state) {
        const std::vector<DetectionRow> rows = rig().net.detect(rig().data, kInfo, 0.8f);
        faces = rows.size();
        benchmark::DoNotOptimize(rows.data());
    }
    state.counters["candidates"] = rig().candidates();
    state.counters["faces"] = double(faces);
}

void backbone(benchmark::State& state) {
    if (!ready(state)) return;
    for (auto _ : state) rig().run(0, rig().proposal);
}

void proposal_layer(benchmark::State& state) {
    if (!ready(state)) return;
    for (auto _ : state) rig().run(rig().proposal, rig().proposal + 1);
    state.counters["candidates"] = rig().candidates();
}

void roi_pooling(benchmark::State& state) {
    if (!ready(state)) return;
    for (auto _ : state) rig().run(rig().pooling, rig().pooling + 1);
}

void head(benchmark::State& state) {
    if (!ready(state)) return;
    for (auto _ : state) rig().run(rig().pooling + 1, rig().net.layers.size());
}

}  // namespace

BENCHMARK(detection_run)->Name("frcnn detect 3x480x640/whole run")->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(backbone)->Name("frcnn detect 3x480x640/backbone")->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(proposal_layer)->Name("frcnn detect 3x480x640/proposal layer")->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(roi_pooling)->Name("frcnn detect 3x480x640/roi pooling")->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(head)->Name("frcnn detect 3x480x640/head")->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace kx::bench
