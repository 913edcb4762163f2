#include "detect/frcnn_detector.h"

#include <cstdio>

#include "detect/box_ops.h"
#include "detect/detection_layers.h"
#include "detect/detection_row.h"
#include "net/console.h"

namespace kx {

namespace {

const float kChannelMeans[3] = {102.9801f, 115.9465f, 122.7717f};

}  // namespace

FRCNNDetector::~FRCNNDetector() { delete net; }

void FRCNNDetector::load(const std::string& model_dir, int /*mode*/, int /*max_faces*/) {
    // A second load starts from scratch rather than stacking models.
    release();
    means.clear();

    std::string path = model_dir;
    if (path.empty() || path.back() != '/') path += '/';
    path += kModelFile;
    say("Loading model " + path + "...");

    FILE* file = std::fopen(path.c_str(), "rb");
    if (file != nullptr) say("Success to open model file");
    // The net is kept even when the file is missing: it then stays not
    // ready, and every detection finds nothing.
    net = new Net();
    register_detection_layers();
    const bool loaded = net->load_model(file);
    if (file != nullptr) std::fclose(file);

    if (loaded) {
        say("load success");
        means.assign(kChannelMeans, kChannelMeans + 3);
    } else {
        say("fail to load model");
    }
}

void FRCNNDetector::detect(const cv::Mat& image, std::vector<FaceRecord>& faces) {
    faces.clear();
    if (means.size() != 3 || net == nullptr || !net->ready) return;
    if (image.empty() || image.type() != CV_8UC3 || !image.isContinuous()) {
        say("detect: image must be a non-empty continuous 8-bit three-channel image");
        return;
    }

    // Planar, mean-subtracted copy of the interleaved pixels, at full size.
    const size_t rows = size_t(image.rows);
    const size_t cols = size_t(image.cols);
    const size_t plane = rows * cols;
    std::vector<float>& values = planes_;  // kept: its storage serves every call
    values.resize(3 * plane);
    const unsigned char* pixel = image.ptr<unsigned char>(0);
    float* c0 = values.data();
    float* c1 = c0 + plane;
    float* c2 = c1 + plane;
    for (size_t k = 0; k < plane; ++k, pixel += 3) {
        c0[k] = float(pixel[0]) - means[0];
        c1[k] = float(pixel[1]) - means[1];
        c2[k] = float(pixel[2]) - means[2];
    }
    const std::vector<float> info = {float(image.rows), float(image.cols), 1.0f};

    const std::vector<DetectionRow> rows_found = net->detect(values, info, kScoreThreshold);
    faces.resize(rows_found.size());
    for (size_t k = 0; k < rows_found.size(); ++k) {
        const DetectionRow& row = rows_found[k];
        FaceRecord& face = faces[k];
        face.landmarks = cv::Mat(0, 0, CV_32F);
        face.box = cv::Rect(truncToInt(row.x), truncToInt(row.y), truncToInt(row.width), truncToInt(row.height));
        face.score = row.score;
    }
}

void FRCNNDetector::release() {
    delete net;
    net = nullptr;
    std::vector<float>().swap(planes_);
}

}  // namespace kx
