#include "api/tracker.h"

#include "net/console.h"
#include "net/model_file.h"

namespace kx {

namespace {

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
    tracker.unusable_models.clear();
    if (!tracker.landmark_model.load(folder + kLandmarkModelFile)) {
        tracker.unusable_models.push_back(kLandmarkModelFile);
    }

    if (!loadNetFile(tracker.five_point_net, folder + kFivePointModelFile, false)) {
        tracker.unusable_models.push_back(kFivePointModelFile);
        sayModelInitError();
        return;
    }
    if (!loadNetFile(tracker.ninety_five_net, folder + kNinetyFivePointModelFile, false)) {
        tracker.unusable_models.push_back(kNinetyFivePointModelFile);
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
