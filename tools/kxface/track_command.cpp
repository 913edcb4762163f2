// track: follows faces through a video file or a camera.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <system_error>

#include <opencv2/videoio.hpp>
#include <opencv2/videoio/registry.hpp>

#include "commands.h"
#include "drawing.h"
#include "json_writer.h"
#include "model_folder.h"
#include "kx/face_analyzer.h"
#include "progress.h"
#include "track/shape_box.h"

namespace kxface {

namespace fs = std::filesystem;

namespace {

bool isCameraIndex(const std::string& text) {
    return !text.empty() && text.size() <= 4 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int fileBackend() { return cv::videoio_registry::hasBackend(cv::CAP_FFMPEG) ? cv::CAP_FFMPEG : cv::CAP_ANY; }

// Opens a file, or a camera when the input is a number that names no file.
// Files go to FFmpeg first: the other back-ends try to read any name (as an
// image sequence, a pipeline) and fill standard error when they cannot.
bool openVideo(const std::string& input, cv::VideoCapture& capture) {
    std::error_code error;
    if (isCameraIndex(input) && !fs::exists(input, error)) return capture.open(std::atoi(input.c_str()));
    if (!fs::exists(input, error)) return false;
    return capture.open(input, fileBackend());
}

bool openWriter(const std::string& path, double fps, const cv::Size& size, cv::VideoWriter& writer) {
    const int fourcc = cv::VideoWriter::fourcc('M', 'J', 'P', 'G');
    return writer.open(path, fileBackend(), fourcc, fps, size);
}

std::string frameDocument(long long index, double ms, const std::vector<cv::Mat>& shapes) {
    JsonLine j;
    j.beginObject();
    j.key("frame").value(index);
    j.key("ms").value(ms);
    j.key("faces").beginArray();
    for (const cv::Mat& shape : shapes) {
        j.beginObject();
        j.key("box").value(kx::boxFromShape(shape));
        j.key("points95").points(shape);
        j.endObject();
    }
    j.endArray();
    j.endObject();
    return j.text();
}

double percentile95(std::vector<double> values) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    // Nearest rank: the smallest value with at least 95% of values at or below it.
    const size_t rank = static_cast<size_t>(std::ceil(0.95 * static_cast<double>(values.size())));
    return values[std::max<size_t>(rank, 1) - 1];
}

}  // namespace

int runTrack(const Options& options, std::FILE* out) {
    const std::string& input = options.inputs.front();
    cv::VideoCapture capture;
    if (!openVideo(input, capture) || !capture.isOpened()) {
        std::error_code error;
        complain(fs::exists(input, error) || isCameraIndex(input) ? "cannot open video " + input
                                                                   : "no such file: " + input);
        return kExitFailure;
    }

    std::FILE* json = nullptr;
    if (options.json == "-") {
        json = out;
    } else if (!options.json.empty()) {
        json = std::fopen(options.json.c_str(), "w");
        if (json == nullptr) {
            complain("cannot write " + options.json);
            return kExitFailure;
        }
    }

    if (!modelsPresent(options)) {
        if (json != nullptr && json != out) std::fclose(json);
        return kExitFailure;
    }
    kx::FaceAnalyzer analyzer;
    analyzer.setThreads(options.threads);
    analyzer.start(options.models, options.faces);
    if (reportUnusableModels(analyzer, options.models)) {
        if (json != nullptr && json != out) std::fclose(json);
        return kExitFailure;
    }
    cv::VideoWriter writer;
    const double fps = capture.get(cv::CAP_PROP_FPS);
    const long long total = static_cast<long long>(capture.get(cv::CAP_PROP_FRAME_COUNT));
    Progress progress(options.max_frames >= 0 && (total <= 0 || options.max_frames < total) ? options.max_frames
                                                                                           : total);

    std::vector<double> frame_ms;
    std::vector<cv::Mat> shapes;
    cv::Mat frame;
    int status = kExitOk;
    long long index = 0;
    while ((options.max_frames < 0 || index < options.max_frames) && capture.read(frame) && !frame.empty()) {
        const auto start = std::chrono::steady_clock::now();
        analyzer.track(frame, shapes);
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        frame_ms.push_back(ms);

        if (json != nullptr) std::fprintf(json, "%s\n", frameDocument(index, ms, shapes).c_str());
        if (!options.draw.empty()) {
            if (!writer.isOpened()) {
                const double rate = fps > 0.0 && std::isfinite(fps) ? fps : 25.0;
                if (!openWriter(options.draw, rate, frame.size(), writer)) {
                    complain("cannot write video " + options.draw);
                    status = kExitFailure;
                    break;
                }
            }
            std::vector<cv::Rect> boxes;
            for (const cv::Mat& shape : shapes) boxes.push_back(kx::boxFromShape(shape));
            cv::Mat picture = frame.clone();
            drawBoxes(picture, boxes);
            drawPoints(picture, shapes, kShapeColour);
            writer.write(picture);
        }
        ++index;
        progress.update(index, static_cast<int>(shapes.size()));
    }
    progress.finish();
    if (json != nullptr && json != out) std::fclose(json);

    if (index == 0 && status == kExitOk) {
        complain("no frames could be read from " + input);
        return kExitFailure;
    }
    const double mean = frame_ms.empty() ? 0.0
                                         : std::accumulate(frame_ms.begin(), frame_ms.end(), 0.0) /
                                               static_cast<double>(frame_ms.size());
    // With --json - the summary would break the JSON lines on standard
    // output, so it goes to standard error then.
    std::FILE* summary = json == out ? stderr : out;
    std::fprintf(summary, "frames: %lld\n", index);
    std::fprintf(summary, "mean ms per frame: %.3f\n", mean);
    std::fprintf(summary, "95th percentile ms per frame: %.3f\n", percentile95(frame_ms));
    std::fprintf(summary, "detector calls: %lld\n", analyzer.trackingDetectorRuns());
    std::fflush(summary);
    return status;
}

}  // namespace kxface
