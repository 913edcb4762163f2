#include "api/tracker.h"

#include <cstdio>

#include "net/console.h"

namespace kx {

namespace {

// Opens path and reads a single-input network from it. The loader itself
// reports a missing file as a failed load.
bool loadSingleInputNet(Net& net, const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "rb");
    const bool loaded = net.load_model_single_input(file);
    if (file != nullptr) std::fclose(file);
    return loaded;
}

void sayModelInitError() {
    say("load model err!");
    say(" model init error");
}

}  // namespace

std::string withTrailingSlash(const std::string& dir) {
    if (!dir.empty() && dir.back() == '/') return dir;
    return dir + '/';
}

void startTracker(Tracker& tracker, Detector& detector, const std::string& dir, int max_faces) {
    tracker.capacity = max_faces;
    tracker.detect_countdown = 0;
    // Paths are built in strings of their own length, so any directory length
    // works; nothing is cut short.
    const std::string folder = withTrailingSlash(dir);

    detector.load(folder, 0, max_faces);
    tracker.landmark_model.load(folder + kLandmarkModelFile);

    if (!loadSingleInputNet(tracker.five_point_net, folder + kFivePointModelFile)) {
        sayModelInitError();
        return;
    }
    if (!loadSingleInputNet(tracker.ninety_five_net, folder + kNinetyFivePointModelFile)) {
        sayModelInitError();
        return;
    }
    if (max_faces < 1) return;
    tracker.capacity = max_faces;
    // Each entry is built on its own: copies of one prototype would share the
    // pixel buffers of their matrices.
    tracker.faces.clear();
    tracker.faces.reserve(static_cast<size_t>(max_faces));
    for (int i = 0; i < max_faces; ++i) tracker.faces.emplace_back();
}

}  // namespace kx
