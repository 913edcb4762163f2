#include "track/face_tracker.h"

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "align/five_points.h"
#include "align/ninety_five_points.h"
#include "detect/enlarge_to_square.h"
#include "track/shape_box.h"

namespace kx {

namespace {

bool anyActive(const std::vector<TrackedFace>& faces) {
    for (const TrackedFace& face : faces) {
        if (face.active) return true;
    }
    return false;
}

// Tracking starts afresh when the previous frame cannot be compared with this
// one: a different size, or (defensively) active faces with no previous frame.
bool mustRestart(const std::vector<TrackedFace>& faces, const cv::Mat& previous_grey,
                 const cv::Size& frame_size) {
    if (previous_grey.empty()) return anyActive(faces);
    return previous_grey.size() != frame_size;
}

// Whether another active entry's face box overlaps `box` as the same face.
bool overlapsOtherActive(const std::vector<TrackedFace>& faces, size_t self, const cv::Rect& box) {
    for (size_t j = 0; j < faces.size(); ++j) {
        if (j == self || !faces[j].active) continue;
        if (rectOverlap(box, boxFromShape(faces[j].shape)) > kSameFaceOverlap) return true;
    }
    return false;
}

// An idle entry takes the first free detection: five points, then 95 points
// with the face check, then the duplicate test. Any failure leaves it reset.
void takeFreeDetection(Tracker& tracker, size_t i, std::vector<FaceRecord>& detections,
                       std::vector<bool>& free, const cv::Mat& grey) {
    TrackedFace& entry = tracker.faces[i];
    size_t k = 0;
    while (k < detections.size() && !free[k]) ++k;
    if (k == detections.size()) {
        resetTrackedFace(entry);
        return;
    }
    free[k] = false;  // taken even if what follows fails
    FaceRecord& detection = detections[k];

    cv::Mat five;
    if (alignFivePoints(tracker.five_point_net, grey, detection.box, five) != 0) {
        resetTrackedFace(entry);
        return;
    }
    detection.landmarks = five;

    bool is_face = false;
    if (alignNinetyFivePoints(entry, tracker.ninety_five_net, tracker.landmark_model, grey, detection,
                              is_face) != 0 ||
        !is_face) {
        resetTrackedFace(entry);
        return;
    }
    if (overlapsOtherActive(tracker.faces, i, boxFromShape(entry.shape))) {
        resetTrackedFace(entry);
        return;
    }
    entry.active = true;
}

// An active entry moves its five key points from the previous frame by
// optical flow and re-fits its shape; a face no longer accepted is dropped
// and the next call detects.
void followFace(Tracker& tracker, TrackedFace& entry, const cv::Mat& previous, const cv::Mat& grey) {
    if (fivePointsFromShape(entry.shape, entry.face.landmarks) != 0) {
        resetTrackedFace(entry);
        tracker.detect_countdown = 0;
        return;
    }
    entry.face.points.resize(5);
    for (int r = 0; r < 5; ++r) {
        entry.face.points[size_t(r)] =
            cv::Point2f(entry.face.landmarks.at<float>(r, 0), entry.face.landmarks.at<float>(r, 1));
    }

    std::vector<cv::Point2f> moved;
    std::vector<unsigned char> status;
    std::vector<float> error;
    // Every new position is taken, whatever its status: the 95-point fit that
    // follows decides whether the face is still there.
    cv::calcOpticalFlowPyrLK(previous, grey, entry.face.points, moved, status, error, cv::Size(31, 31), 3,
                             cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 20, 0.03),
                             0, 0.001);
    for (int r = 0; r < 5 && size_t(r) < moved.size(); ++r) {
        entry.face.landmarks.at<float>(r, 0) = moved[size_t(r)].x;
        entry.face.landmarks.at<float>(r, 1) = moved[size_t(r)].y;
    }

    bool is_face = false;
    if (alignNinetyFivePoints(entry, tracker.ninety_five_net, tracker.landmark_model, grey, entry.face,
                              is_face) != 0 ||
        !is_face) {
        resetTrackedFace(entry);
        tracker.detect_countdown = 0;
    }
}

}  // namespace

std::vector<cv::Mat> trackFaces(Tracker& tracker, Detector* detector, cv::Mat& previous_grey,
                                const cv::Mat& frame, bool* detector_ran) {
    std::vector<cv::Mat> shapes;
    if (detector_ran != nullptr) *detector_ran = false;
    if (tracker.faces.empty() || frame.empty() || frame.type() != CV_8UC3) return shapes;

    if (mustRestart(tracker.faces, previous_grey, frame.size())) {
        for (TrackedFace& entry : tracker.faces) resetTrackedFace(entry);
        tracker.detect_countdown = 0;
    }

    std::vector<FaceRecord> detections;
    if (tracker.detect_countdown == 0 && detector != nullptr) {
        // The detector reads the pixels as one block.
        detector->detect(frame.isContinuous() ? frame : frame.clone(), detections);
        if (detector_ran != nullptr) *detector_ran = true;
    }

    // The count of tracked faces is taken before this call changes any entry.
    tracker.detect_countdown += anyActive(tracker.faces) ? kCountdownStepTracking : kCountdownStepIdle;
    if (tracker.detect_countdown >= kCountdownPeriod) tracker.detect_countdown = 0;

    cv::Mat grey;
    cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
    const cv::Mat previous = previous_grey;  // shares pixels, no copy
    previous_grey = grey;

    std::vector<bool> free(detections.size(), true);
    enlargeToSquare(detections);

    // A detection of a face some entry already holds is not offered again.
    for (const TrackedFace& entry : tracker.faces) {
        if (!isValidShape(entry.shape)) continue;
        const cv::Rect held = boxFromShape(entry.shape);
        for (size_t k = 0; k < detections.size(); ++k) {
            if (rectOverlap(detections[k].box, held) > kSameFaceOverlap) free[k] = false;
        }
    }

    for (size_t i = 0; i < tracker.faces.size(); ++i) {
        if (tracker.faces[i].active) {
            followFace(tracker, tracker.faces[i], previous, grey);
        } else {
            takeFreeDetection(tracker, i, detections, free, grey);
        }
    }

    for (const TrackedFace& entry : tracker.faces) {
        if (entry.active && isValidShape(entry.shape)) shapes.push_back(entry.shape.clone());
    }
    return shapes;
}

}  // namespace kx
