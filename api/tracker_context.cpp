#include "api/tracker_context.h"

#include <opencv2/imgproc.hpp>

#include "align/five_points.h"
#include "align/ninety_five_points.h"
#include "api/working_image.h"
#include "detect/enlarge_to_square.h"
#include "net/thread_pool.h"
#include "track/face_tracker.h"

namespace kx {

namespace {

// The detecting entry points' common start: the working image, its scale,
// its grey version (when wanted) and the squared detections on it.
struct WorkingDetections {
    float scale = 1.0f;
    cv::Mat grey;
    std::vector<FaceRecord> faces;
};

bool detectOnWorkingImage(TrackerContext& context, const cv::Mat& image, bool want_grey,
                          WorkingDetections& out) {
    if (context.tracker == nullptr || context.detector == nullptr || !isColourImage(image)) return false;
    out.scale = workingScale(image.rows, image.cols);
    const cv::Mat working = makeWorkingImage(image, out.scale);
    if (want_grey) cv::cvtColor(working, out.grey, cv::COLOR_BGR2GRAY);
    context.detector->detect(working, out.faces);
    enlargeToSquare(out.faces);
    return true;
}

// Five points and then 95 points of one face on the grey image, with the
// tracker's first entry as working state (its shape zeroed first, so no
// smoothing with earlier shapes). The face check is not consulted. On
// success the entry's shape holds the 95 points.
bool alignBothOnFirstEntry(Tracker& tracker, const cv::Mat& grey, FaceRecord& face) {
    cv::Mat five;
    if (alignFivePoints(tracker.five_point_net, grey, face.box, five) != 0) return false;
    face.landmarks = five;
    // A start-up that stopped early created no entries: nothing to work in.
    if (tracker.faces.empty()) return false;
    TrackedFace& state = tracker.faces.front();
    if (!state.shape.empty()) state.shape.setTo(cv::Scalar::all(0));
    bool is_face = false;
    return alignNinetyFivePoints(state, tracker.ninety_five_net, tracker.landmark_model, grey, face,
                                 is_face) == 0;
}

// Hands the context's threads to every network it runs.
void attachThreads(TrackerContext& context) {
    if (context.tracker != nullptr) {
        context.tracker->five_point_net.threads = context.pool;
        context.tracker->ninety_five_net.threads = context.pool;
    }
    if (context.detector != nullptr && context.detector->net != nullptr) {
        context.detector->net->threads = context.pool;
    }
}

}  // namespace

TrackerContext::~TrackerContext() {
    delete tracker;
    delete detector;
    delete pool;
}

void contextSetThreads(TrackerContext& context, int n) {
    const int wanted = n >= 1 ? n : default_thread_count();
    if (wanted == context.threads) return;
    ThreadPool* fresh = wanted > 1 ? new ThreadPool(wanted) : nullptr;
    delete context.pool;
    context.pool = fresh;
    // A system that refuses threads leaves a smaller pool: say what runs.
    context.threads = fresh != nullptr ? fresh->size() : 1;
    attachThreads(context);
}

int contextThreads(const TrackerContext& context) {
    return context.threads >= 1 ? context.threads : default_thread_count();
}

void contextInit(TrackerContext& context, const std::string& dir, int n) {
    if (n <= 0) return;
    contextDestroy(context);
    delete context.detector;
    context.detector = new FRCNNDetector();
    Tracker* tracker = new Tracker();
    startTracker(*tracker, *context.detector, dir, n);
    context.tracker = tracker;
    if (context.threads == 0) contextSetThreads(context, 0);
    attachThreads(context);
}

void contextDestroy(TrackerContext& context) {
    if (context.tracker == nullptr) return;
    if (context.detector != nullptr) context.detector->release();
    delete context.tracker;
    context.tracker = nullptr;
}

void contextDetect(TrackerContext& context, const cv::Mat& image, std::vector<cv::Rect>& rects,
                   std::vector<float>& scores) {
    rects.clear();
    scores.clear();
    WorkingDetections found;
    if (!detectOnWorkingImage(context, image, false, found)) return;
    for (const FaceRecord& face : found.faces) {
        rects.push_back(scaleBack(face.box, found.scale));
        scores.push_back(face.score);
    }
}

void contextDetectAlign5(TrackerContext& context, const cv::Mat& image, std::vector<cv::Rect>& rects,
                         std::vector<float>& scores, std::vector<cv::Mat>& points5) {
    rects.clear();
    scores.clear();
    points5.clear();
    WorkingDetections found;
    if (!detectOnWorkingImage(context, image, true, found)) return;
    for (const FaceRecord& face : found.faces) {
        cv::Mat five;
        if (alignFivePoints(context.tracker->five_point_net, found.grey, face.box, five) != 0) continue;
        rects.push_back(scaleBack(face.box, found.scale));
        scores.push_back(face.score);
        points5.push_back(scalePoints(five, found.scale));
    }
}

void contextDetectAlign95(TrackerContext& context, const cv::Mat& image, std::vector<cv::Rect>& rects,
                          std::vector<float>& scores, std::vector<cv::Mat>& points5,
                          std::vector<cv::Mat>& points95) {
    rects.clear();
    scores.clear();
    points5.clear();
    points95.clear();
    WorkingDetections found;
    if (!detectOnWorkingImage(context, image, true, found)) return;
    for (FaceRecord& face : found.faces) {
        if (!alignBothOnFirstEntry(*context.tracker, found.grey, face)) continue;
        rects.push_back(scaleBack(face.box, found.scale));
        scores.push_back(face.score);
        points5.push_back(scalePoints(face.landmarks, found.scale));
        points95.push_back(scalePoints(context.tracker->faces.front().shape, found.scale));
    }
}

void contextAlign95(TrackerContext& context, const cv::Mat& image, const std::vector<cv::Rect>& rects,
                    std::vector<cv::Mat>& points5, std::vector<cv::Mat>& points95) {
    points5.clear();
    points95.clear();
    if (context.tracker == nullptr || !isColourImage(image)) return;
    cv::Mat grey;
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    std::vector<FaceRecord> faces(rects.size());
    for (size_t k = 0; k < rects.size(); ++k) faces[k].box = rects[k];
    enlargeToSquare(faces);
    for (FaceRecord& face : faces) {
        if (!alignBothOnFirstEntry(*context.tracker, grey, face)) continue;
        points5.push_back(face.landmarks.clone());
        points95.push_back(context.tracker->faces.front().shape.clone());
    }
}

void contextTrack(TrackerContext& context, const cv::Mat& frame, std::vector<cv::Mat>& shapes) {
    if (context.tracker == nullptr || !isColourImage(frame)) {
        shapes.clear();
        return;
    }
    bool detector_ran = false;
    std::vector<cv::Mat> found =
        trackFaces(*context.tracker, context.detector, context.previous_grey, frame, &detector_ran);
    if (detector_ran) ++context.tracking_detector_runs;
    shapes.clear();
    for (cv::Mat& shape : found) shapes.push_back(shape);
}

}  // namespace kx
