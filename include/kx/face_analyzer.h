#pragma once
// C++ interface for applications that want more than one tracker, or want
// to analyse faces on several threads.
//
// Each FaceAnalyzer owns its own models, detector, tracked faces and previous
// video frame; two analyzers share nothing, so they can run on two threads at
// once. One analyzer may also be shared between threads: its calls are
// serialised by a lock of its own (they then run one after another).
//
// The operations behave as the exported KXTracker_* functions of
// kx_tracker.h: images are 8-bit three-channel blue-green-red cv::Mat, output
// lists are emptied first, and an analyzer that has not been started (or an
// unusable image) gives empty lists. Model loading reports on standard
// output. No method throws: a failure inside one (such as running out of
// memory) gives empty lists and one line on standard error.
//
// Each analyzer also owns a pool of threads that its networks share their
// work on (setThreads; by default as many as the machine has cores, at most
// 4). The results are the same to the bit for every thread count.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace kx {

struct TrackerContext;

class FaceAnalyzer {
public:
    FaceAnalyzer();
    // Starts at once with the models of model_dir (see start).
    FaceAnalyzer(const std::string& model_dir, int max_faces);
    ~FaceAnalyzer();
    FaceAnalyzer(const FaceAnalyzer&) = delete;
    FaceAnalyzer& operator=(const FaceAnalyzer&) = delete;

    // Loads the four models of model_dir and prepares max_faces tracking
    // slots; max_faces <= 0 does nothing, and so does max_faces above 1024
    // (with one line on standard error). A running analyzer is stopped
    // first. A model that fails to load leaves a component that finds
    // nothing.
    void start(const std::string& model_dir, int max_faces);
    // Frees the models and tracked faces; harmless when not started.
    void stop();
    bool started() const;
    // File names of the models of the last start that could not be loaded
    // (missing, damaged, or of the wrong kind), detector first; empty when
    // every model loaded or the analyzer is not started.
    std::vector<std::string> unusableModels() const;

    // The number of threads the analyzer's networks use: n >= 1, or n <= 0
    // for the default (the number of cores, at most 4). Takes effect at
    // once, on a running analyzer too; threads() tells the count in use.
    void setThreads(int n);
    int threads() const;

    void detect(const cv::Mat& image, std::vector<cv::Rect>& rects, std::vector<float>& scores);
    void detectAlign5(const cv::Mat& image, std::vector<cv::Rect>& rects, std::vector<float>& scores,
                      std::vector<cv::Mat>& points5);
    void detectAlign95(const cv::Mat& image, std::vector<cv::Rect>& rects, std::vector<float>& scores,
                       std::vector<cv::Mat>& points5, std::vector<cv::Mat>& points95);
    void align95(const cv::Mat& image, const std::vector<cv::Rect>& rects, std::vector<cv::Mat>& points5,
                 std::vector<cv::Mat>& points95);
    // One video frame; shapes receives the 95 x 2 float shape of every
    // tracked face. A frame of a new size starts tracking afresh. The face
    // detector runs on the full frame every few frames, at a cost that grows
    // with the frame (about 2.5 GB and several seconds for 4000 x 3000);
    // frames above 16 megapixels (4096 x 4096) give no shapes and one line
    // on standard error.
    void track(const cv::Mat& frame, std::vector<cv::Mat>& shapes);
    // How many track calls so far have run the face detector (the costly
    // step, done only every few frames).
    long long trackingDetectorRuns() const;

private:
    mutable std::mutex lock_;
    std::unique_ptr<TrackerContext> context_;
};

}  // namespace kx
