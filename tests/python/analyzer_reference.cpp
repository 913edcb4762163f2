// The C++ answers the Python tests compare the module with: for each image,
// one JSON line with what a fresh kx::FaceAnalyzer returns for detect,
// detectAlign5, detectAlign95, align95 on the detected boxes and track over
// shiftedFrames, called in that order. Floats are printed with nine
// significant digits, which read back to the same float.
//
//   kx_analyzer_reference MODEL_DIR OUT.jsonl IMAGE...
//
// The answers go to a file: the library reports model loading on standard
// output.
#include <cstdio>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "kx/face_analyzer.h"

namespace {

std::string number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.9g", v);
    return buf;
}

std::string boxes(const std::vector<cv::Rect>& rects) {
    std::string s = "[";
    for (const cv::Rect& r : rects) {
        s += (s.size() > 1 ? ",[" : "[") + std::to_string(r.x) + "," + std::to_string(r.y) + "," +
             std::to_string(r.width) + "," + std::to_string(r.height) + "]";
    }
    return s + "]";
}

std::string scores(const std::vector<float>& values) {
    std::string s = "[";
    for (float v : values) s += (s.size() > 1 ? "," : "") + number(v);
    return s + "]";
}

std::string points(const std::vector<cv::Mat>& sets) {
    std::string s = "[";
    for (const cv::Mat& m : sets) {
        s += s.size() > 1 ? ",[" : "[";
        for (int r = 0; r < m.rows; ++r) {
            s += (r > 0 ? ",[" : "[") + number(m.at<float>(r, 0)) + "," + number(m.at<float>(r, 1)) + "]";
        }
        s += "]";
    }
    return s + "]";
}

// The image moved right and down by k * (6, 3) pixels, k = 0..3, on black:
// the test frames of track (the Python test builds the same ones).
std::vector<cv::Mat> shiftedFrames(const cv::Mat& image) {
    std::vector<cv::Mat> frames;
    for (int k = 0; k < 4; ++k) {
        const int dx = 6 * k, dy = 3 * k;
        cv::Mat frame = cv::Mat::zeros(image.size(), image.type());
        const cv::Size kept(image.cols - dx, image.rows - dy);
        image(cv::Rect(cv::Point(0, 0), kept)).copyTo(frame(cv::Rect(cv::Point(dx, dy), kept)));
        frames.push_back(frame);
    }
    return frames;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: kx_analyzer_reference MODEL_DIR OUT.jsonl IMAGE...\n");
        return 2;
    }
    std::vector<std::string> lines;
    for (int i = 3; i < argc; ++i) {
        const cv::Mat image = cv::imread(argv[i], cv::IMREAD_COLOR);
        if (image.empty()) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        kx::FaceAnalyzer analyzer(argv[1], 4);
        std::vector<cv::Rect> rects;
        std::vector<float> sc;
        std::vector<cv::Mat> p5, p95;
        std::string line = "{\"image\":\"" + std::string(argv[i]) + "\"";
        analyzer.detect(image, rects, sc);
        line += ",\"detect\":{\"boxes\":" + boxes(rects) + ",\"scores\":" + scores(sc) + "}";
        const std::vector<cv::Rect> detected = rects;
        analyzer.detectAlign5(image, rects, sc, p5);
        line += ",\"detect_align5\":{\"boxes\":" + boxes(rects) + ",\"scores\":" + scores(sc) +
                ",\"points5\":" + points(p5) + "}";
        analyzer.detectAlign95(image, rects, sc, p5, p95);
        line += ",\"detect_align95\":{\"boxes\":" + boxes(rects) + ",\"scores\":" + scores(sc) +
                ",\"points5\":" + points(p5) + ",\"points95\":" + points(p95) + "}";
        analyzer.align95(image, detected, p5, p95);
        line += ",\"align95\":{\"points5\":" + points(p5) + ",\"points95\":" + points(p95) + "}";
        line += ",\"track\":[";
        const std::vector<cv::Mat> frames = shiftedFrames(image);
        for (size_t k = 0; k < frames.size(); ++k) {
            analyzer.track(frames[k], p95);
            line += (k > 0 ? "," : "") + points(p95);
        }
        lines.push_back(line + "]}");
    }
    std::FILE* out = std::fopen(argv[2], "w");
    if (out == nullptr) {
        std::fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }
    for (const std::string& line : lines) std::fprintf(out, "%s\n", line.c_str());
    return std::fclose(out) == 0 ? 0 : 1;
}
