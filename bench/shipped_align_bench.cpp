// Landmarks per face with the trained files of the source tree's models/
// folder, on the bundled portrait: the five-point network (crop, resize,
// network, mapping back) and the 95-point method (warp, network with face
// check, mapping back, regression cascade). These are the per-face costs a
// caller pays on top of detection; a missing model file skips its benchmark.
#include <benchmark/benchmark.h>

#include <string>

#include <opencv2/imgcodecs.hpp>

#include "align/five_points.h"
#include "align/landmark_model.h"
#include "align/ninety_five_points.h"
#include "align/tracked_face.h"
#include "detect/enlarge_to_square.h"
#include "net/model_file.h"
#include "net/net.h"
#include "net/thread_pool.h"
#include "source_tree.h"

namespace kx::bench {

namespace {

// The canonical face box of samples/obama.jpg, enlarged the library's way.
cv::Rect portraitBox() {
    std::vector<FaceRecord> faces(1);
    faces[0].box = cv::Rect(379, 162, 231, 231);
    enlargeToSquare(faces);
    return faces[0].box;
}

cv::Mat portraitGrey() {
    return cv::imread(sourceTreePath("samples/obama.jpg").string(), cv::IMREAD_GRAYSCALE);
}

// Loads a one-input network from models/, quietly (the loader reports on
// standard output); false marks the benchmark skipped.
bool loadShipped(benchmark::State& state, Net& net, const char* file) {
    const std::filesystem::path path = sourceTreePath("models") / file;
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        state.SkipWithError((path.string() + " is not there").c_str());
        return false;
    }
    bool loaded = false;
    {
        QuietStdout quiet;
        loaded = loadNetFile(net, path.string(), false);
    }
    if (!loaded) state.SkipWithError((path.string() + " does not load").c_str());
    return loaded;
}

void shippedFivePoints(benchmark::State& state) {
    Net net;
    if (!loadShipped(state, net, "cdcn_iter_500000.dat")) return;
    const cv::Mat grey = portraitGrey();
    if (grey.empty()) {
        state.SkipWithError("samples/obama.jpg is missing");
        return;
    }
    const cv::Rect box = portraitBox();
    cv::Mat points;
    for (auto _ : state) {
        if (alignFivePoints(net, grey, box, points) != 0) {
            state.SkipWithError("alignFivePoints failed");
            return;
        }
        benchmark::DoNotOptimize(points.data);
    }
}

void shippedNinetyFivePoints(benchmark::State& state) {
    Net net5, net95;
    if (!loadShipped(state, net5, "cdcn_iter_500000.dat") ||
        !loadShipped(state, net95, "cdcn95_verify_iter_50000.dat"))
        return;
    LandmarkModel cascade;
    bool cascade_loaded = false;
    {
        QuietStdout quiet;
        cascade_loaded = cascade.load(sourceTreePath("models/model95_tern.bin").string());
    }
    if (!cascade_loaded) {
        state.SkipWithError("models/model95_tern.bin does not load");
        return;
    }
    const cv::Mat grey = portraitGrey();
    if (grey.empty()) {
        state.SkipWithError("samples/obama.jpg is missing");
        return;
    }
    FaceRecord face;
    face.box = portraitBox();
    if (alignFivePoints(net5, grey, face.box, face.landmarks) != 0) {
        state.SkipWithError("alignFivePoints failed");
        return;
    }
    ThreadPool pool(int(state.range(0)));
    net95.threads = &pool;
    TrackedFace entry;
    bool is_face = false;
    for (auto _ : state) {
        entry.shape = cv::Mat();  // every pass aligns a fresh face, no smoothing
        if (alignNinetyFivePoints(entry, net95, cascade, grey, face, is_face) != 0) {
            state.SkipWithError("alignNinetyFivePoints failed");
            return;
        }
        benchmark::DoNotOptimize(entry.shape.data);
    }
    state.counters["face"] = is_face ? 1.0 : 0.0;
    state.counters["stages"] = cascade.stage_count;
    net95.threads = nullptr;
}

}  // namespace

BENCHMARK(shippedFivePoints)->Name("alignFivePoints per face (shipped network)")->Unit(benchmark::kMicrosecond);
// Argument: the 95-point network's threads.
BENCHMARK(shippedNinetyFivePoints)
    ->Name("alignNinetyFivePoints per face (shipped network + cascade)")
    ->ArgName("threads")->Arg(1)->Arg(2)
    ->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace kx::bench
