#include "api/tracker_context.h"

#include <exception>
#include <memory>
#include <string>

#include <opencv2/imgproc.hpp>

#include "align/five_points.h"
#include "align/ninety_five_points.h"
#include "api/working_image.h"
#include "detect/enlarge_to_square.h"
#include "net/console.h"
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


// Runs one entry point's work so that nothing it throws leaves the library:
// the outputs are emptied and one line names the call and the failure.
template <class Work, class Clear>
void guarded(const char* call, Work work, Clear clear) noexcept {
    try {
        work();
        return;
    } catch (const std::exception& e) {
        try {
            clear();
            say_error(std::string(call) + ": " + e.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            clear();
            say_error(std::string(call) + ": unexpected failure");
        } catch (...) {
        }
    }
}

void initUnguarded(TrackerContext& context, const std::string& dir, int n) {
    if (n <= 0) return;
    if (n > kMaxTrackedFaces) {
        say_error("KXTracker_init: " + std::to_string(n) + " faces asked for, at most " +
                  std::to_string(kMaxTrackedFaces) + " can be tracked; nothing started");
        return;
    }
    contextDestroy(context);
    delete context.detector;
    context.detector = nullptr;
    context.detector = new FRCNNDetector();
    auto tracker = std::make_unique<Tracker>();
    startTracker(*tracker, *context.detector, dir, n);
    context.tracker = tracker.release();
    if (context.threads == 0) contextSetThreads(context, 0);
    attachThreads(context);
}

void trackUnguarded(TrackerContext& context, const cv::Mat& frame, std::vector<cv::Mat>& shapes) {
    if (context.tracker == nullptr || !isColourImage(frame)) {
        shapes.clear();
        return;
    }
    if (static_cast<long long>(frame.rows) * frame.cols > kMaxTrackingFramePixels) {
        shapes.clear();
        if (context.refused_frame != frame.size()) {
            context.refused_frame = frame.size();
            say_error("KXTracker_track: frame of " + std::to_string(frame.cols) + " x " +
                      std::to_string(frame.rows) + " pixels is larger than " +
                      std::to_string(kMaxTrackingFramePixels / 1000000) +
                      " megapixels; no faces tracked");
        }
        return;
    }
    bool detector_ran = false;
    std::vector<cv::Mat> found =
        trackFaces(*context.tracker, context.detector, context.previous_grey, frame, &detector_ran);
    if (detector_ran) ++context.tracking_detector_runs;
    shapes.clear();
    for (cv::Mat& shape : found) shapes.push_back(shape);
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
    ThreadPool* fresh = nullptr;
    if (wanted > 1) {
        try {
            fresh = new ThreadPool(wanted);
        } catch (const std::exception&) {
            fresh = nullptr;  // no memory or no threads for a pool: run on the calling thread
        }
    }
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
    guarded("KXTracker_init", [&] { initUnguarded(context, dir, n); },
            [&] {
                // A start-up cut short leaves nothing running.
                delete context.tracker;
                context.tracker = nullptr;
            });
}

std::vector<std::string> contextUnusableModels(const TrackerContext& context) {
    std::vector<std::string> names;
    if (context.tracker == nullptr) return names;
    if (context.detector == nullptr || context.detector->net == nullptr || !context.detector->net->ready) {
        names.push_back(kDetectorModelFile);
    }
    names.insert(names.end(), context.tracker->unusable_models.begin(), context.tracker->unusable_models.end());
    return names;
}

void contextDestroy(TrackerContext& context) {
    if (context.tracker == nullptr) return;
    if (context.detector != nullptr) context.detector->release();
    delete context.tracker;
    context.tracker = nullptr;
}

static void contextDetectUnguarded(TrackerContext& context, const cv::Mat& image, std::vector<cv::Rect>& rects,
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

static void contextDetectAlign5Unguarded(TrackerContext& context, const cv::Mat& image, std::vector<cv::Rect>& rects,
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

static void contextDetectAlign95Unguarded(TrackerContext& context, const cv::Mat& image, std::vector<cv::Rect>& rects,
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

static void contextAlign95Unguarded(TrackerContext& context, const cv::Mat& image, const std::vector<cv::Rect>& rects,
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

void contextDetect(TrackerContext& context, const cv::Mat& image, std::vector<cv::Rect>& rects,
                   std::vector<float>& scores) {
    guarded("KXTracker_detect", [&] { contextDetectUnguarded(context, image, rects, scores); },
            [&] { rects.clear(), scores.clear(); });
}

void contextDetectAlign5(TrackerContext& context, const cv::Mat& image, std::vector<cv::Rect>& rects,
                         std::vector<float>& scores, std::vector<cv::Mat>& points5) {
    guarded("KXTracker_detect_align5",
            [&] { contextDetectAlign5Unguarded(context, image, rects, scores, points5); },
            [&] { rects.clear(), scores.clear(), points5.clear(); });
}

void contextDetectAlign95(TrackerContext& context, const cv::Mat& image, std::vector<cv::Rect>& rects,
                          std::vector<float>& scores, std::vector<cv::Mat>& points5,
                          std::vector<cv::Mat>& points95) {
    guarded("KXTracker_detect_align95",
            [&] { contextDetectAlign95Unguarded(context, image, rects, scores, points5, points95); },
            [&] { rects.clear(), scores.clear(), points5.clear(), points95.clear(); });
}

void contextAlign95(TrackerContext& context, const cv::Mat& image, const std::vector<cv::Rect>& rects,
                    std::vector<cv::Mat>& points5, std::vector<cv::Mat>& points95) {
    guarded("KXTracker_align95", [&] { contextAlign95Unguarded(context, image, rects, points5, points95); },
            [&] { points5.clear(), points95.clear(); });
}

void contextTrack(TrackerContext& context, const cv::Mat& frame, std::vector<cv::Mat>& shapes) {
    guarded("KXTracker_track", [&] { trackUnguarded(context, frame, shapes); }, [&] { shapes.clear(); });
}

}  // namespace kx
