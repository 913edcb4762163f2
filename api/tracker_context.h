#pragma once
// Everything one user of the library works on: the tracker object, the
// detector created beside it and the face tracker's previous grey frame. The
// exported functions share one process-wide context; each kx::FaceAnalyzer
// owns its own, so contexts never share anything.
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "api/tracker.h"
#include "detect/frcnn_detector.h"

namespace kx {

// Most faces one tracker follows at once: KXTracker_init (or
// FaceAnalyzer::start) with more does nothing but write one line on standard
// error.
constexpr int kMaxTrackedFaces = 1024;
// Largest tracking frame, in pixels (4096 x 4096, or 16 megapixels of any
// shape). The tracker runs its detector on the full frame, whose cost grows
// with the frame: about 2.5 GB and several seconds for 4000 x 3000. A larger
// frame gives no shapes and one line on standard error (once per frame size).
constexpr long long kMaxTrackingFramePixels = 4096LL * 4096;
class ThreadPool;

struct TrackerContext {
    TrackerContext() = default;
    TrackerContext(const TrackerContext&) = delete;
    TrackerContext& operator=(const TrackerContext&) = delete;
    // Frees the tracker and the detector, printing nothing.
    ~TrackerContext();

    Tracker* tracker = nullptr;          // owned; none before start-up and after shut-down
    FRCNNDetector* detector = nullptr;   // owned; released (no network) after shut-down
    cv::Mat previous_grey;               // last tracking frame; outlives shut-down
    long long tracking_detector_runs = 0;  // tracking calls that ran the detector
    cv::Size refused_frame;              // last frame size refused as too large (reported once)
    int threads = 0;                     // threads the networks use; 0: not chosen yet
    ThreadPool* pool = nullptr;          // owned; none for one thread
};

// Sets the number of threads the context's networks share their work on:
// n >= 1, or n <= 0 for default_thread_count(). Takes effect at once, on a
// running tracker too. Results do not depend on it.
void contextSetThreads(TrackerContext& context, int n);
// The thread count in use (the default until one is chosen).
int contextThreads(const TrackerContext& context);

// Start-up: n <= 0 does nothing at all. Otherwise any running tracker is shut
// down first, a new detector replaces (and frees) the previous one, and a new
// tracker loads every model of dir (see startTracker). The tracker is kept
// even when a model failed to load.
void contextInit(TrackerContext& context, const std::string& dir, int n);

// The model files of the running tracker's start-up that could not be
// loaded (file names, detector first); empty when all loaded or none runs.
std::vector<std::string> contextUnusableModels(const TrackerContext& context);

// Shut-down: releases the detector's network and deletes the tracker. Does
// nothing when no tracker runs. The previous grey frame is kept.
void contextDestroy(TrackerContext& context);

// The entry points. Each empties its output lists first; with no tracker
// running, or an image that is empty or not 8-bit three-channel, they stay
// empty. Boxes and points are in the caller's pixels.
//
// No exception leaves any of these functions (nor contextInit and
// contextDestroy): a failure inside one (memory, an OpenCV error) ends the
// call with empty lists and one line on standard error naming the call.
void contextDetect(TrackerContext& context, const cv::Mat& image, std::vector<cv::Rect>& rects,
                   std::vector<float>& scores);
void contextDetectAlign5(TrackerContext& context, const cv::Mat& image, std::vector<cv::Rect>& rects,
                         std::vector<float>& scores, std::vector<cv::Mat>& points5);
void contextDetectAlign95(TrackerContext& context, const cv::Mat& image, std::vector<cv::Rect>& rects,
                          std::vector<float>& scores, std::vector<cv::Mat>& points5,
                          std::vector<cv::Mat>& points95);
void contextAlign95(TrackerContext& context, const cv::Mat& image, const std::vector<cv::Rect>& rects,
                    std::vector<cv::Mat>& points5, std::vector<cv::Mat>& points95);
void contextTrack(TrackerContext& context, const cv::Mat& frame, std::vector<cv::Mat>& shapes);

}  // namespace kx
