#include "kx/face_analyzer.h"

#include "api/tracker_context.h"

namespace kx {

FaceAnalyzer::FaceAnalyzer() : context_(std::make_unique<TrackerContext>()) {}

FaceAnalyzer::FaceAnalyzer(const std::string& model_dir, int max_faces) : FaceAnalyzer() {
    start(model_dir, max_faces);
}

FaceAnalyzer::~FaceAnalyzer() = default;

void FaceAnalyzer::start(const std::string& model_dir, int max_faces) {
    std::lock_guard<std::mutex> hold(lock_);
    contextInit(*context_, model_dir, max_faces);
}

void FaceAnalyzer::stop() {
    std::lock_guard<std::mutex> hold(lock_);
    contextDestroy(*context_);
}

bool FaceAnalyzer::started() const {
    std::lock_guard<std::mutex> hold(lock_);
    return context_->tracker != nullptr;
}

std::vector<std::string> FaceAnalyzer::unusableModels() const {
    std::lock_guard<std::mutex> hold(lock_);
    return contextUnusableModels(*context_);
}

void FaceAnalyzer::setThreads(int n) {
    std::lock_guard<std::mutex> hold(lock_);
    contextSetThreads(*context_, n);
}

int FaceAnalyzer::threads() const {
    std::lock_guard<std::mutex> hold(lock_);
    return contextThreads(*context_);
}

void FaceAnalyzer::detect(const cv::Mat& image, std::vector<cv::Rect>& rects, std::vector<float>& scores) {
    std::lock_guard<std::mutex> hold(lock_);
    contextDetect(*context_, image, rects, scores);
}

void FaceAnalyzer::detectAlign5(const cv::Mat& image, std::vector<cv::Rect>& rects, std::vector<float>& scores,
                                std::vector<cv::Mat>& points5) {
    std::lock_guard<std::mutex> hold(lock_);
    contextDetectAlign5(*context_, image, rects, scores, points5);
}

void FaceAnalyzer::detectAlign95(const cv::Mat& image, std::vector<cv::Rect>& rects,
                                 std::vector<float>& scores, std::vector<cv::Mat>& points5,
                                 std::vector<cv::Mat>& points95) {
    std::lock_guard<std::mutex> hold(lock_);
    contextDetectAlign95(*context_, image, rects, scores, points5, points95);
}

void FaceAnalyzer::align95(const cv::Mat& image, const std::vector<cv::Rect>& rects,
                           std::vector<cv::Mat>& points5, std::vector<cv::Mat>& points95) {
    std::lock_guard<std::mutex> hold(lock_);
    contextAlign95(*context_, image, rects, points5, points95);
}

void FaceAnalyzer::track(const cv::Mat& frame, std::vector<cv::Mat>& shapes) {
    std::lock_guard<std::mutex> hold(lock_);
    contextTrack(*context_, frame, shapes);
}

}  // namespace kx

namespace kx {

long long FaceAnalyzer::trackingDetectorRuns() const {
    std::lock_guard<std::mutex> hold(lock_);
    return context_->tracking_detector_runs;
}

}  // namespace kx
