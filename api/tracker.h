#pragma once
// The tracker object: every model the landmark and tracking operations use,
// the per-face entries and the detection countdown of the face tracker.
#include <string>
#include <vector>

#include "align/landmark_model.h"
#include "align/tracked_face.h"
#include "detect/detector.h"
#include "net/net.h"

namespace kx {

// Fixed file names inside a model directory.
constexpr const char* kDetectorModelFile = "frcnn_full_cross_500000.dat";
constexpr const char* kLandmarkModelFile = "model95_tern.bin";
constexpr const char* kFivePointModelFile = "cdcn_iter_500000.dat";
constexpr const char* kNinetyFivePointModelFile = "cdcn95_verify_iter_50000.dat";

struct Tracker {
    Net five_point_net;        // five landmarks in a face box
    Net ninety_five_net;       // 95 coarse landmarks and a face score
    int capacity = 0;          // how many faces are tracked at once
    int detect_countdown = 0;  // the face tracker detects on a call that finds it at 0
    std::vector<TrackedFace> faces;  // capacity entries after a complete start-up
    LandmarkModel landmark_model;    // regression cascade refining the 95 points
    // File names of the models that startTracker could not load (the
    // cascade and the two networks; the detector reports its own state).
    std::vector<std::string> unusable_models;
};

// The directory text with a '/' appended unless it already ends in one.
std::string withTrailingSlash(const std::string& dir);

// Loads every model of dir, in this order: the detector (through its own
// load, which reports on the console), the regression cascade, the five-point
// network, the 95-point network; then creates `max_faces` fresh entries.
// A network that fails to load prints "load model err!" and " model init
// error" and ends the start-up there, so later networks stay unloaded and no
// entries are created. Nothing is reported back: a component whose model is
// missing simply finds nothing.
void startTracker(Tracker& tracker, Detector& detector, const std::string& dir, int max_faces);

}  // namespace kx
