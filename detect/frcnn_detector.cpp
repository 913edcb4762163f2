#include "detect/frcnn_detector.h"

#include <algorithm>
#include <cstdio>

#include "detect/box_ops.h"
#include "detect/detection_layers.h"
#include "detect/detection_row.h"
#include "net/console.h"
#include "net/thread_pool.h"

namespace kx {

namespace {

const float kChannelMeans[3] = {102.9801f, 115.9465f, 122.7717f};

// Image rows converted per task.
constexpr int kRowsPerBand = 64;

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

    // The network reads the pixels planar and mean-subtracted; they are
    // written straight into its input, a band of rows per task.
    const std::vector<float> info = {float(image.rows), float(image.cols), 1.0f};
    float* planes = net->detection_input(info, 3);
    if (planes == nullptr) return;
    const size_t cols = size_t(image.cols);
    const size_t plane = size_t(image.rows) * cols;
    const int bands = (image.rows + kRowsPerBand - 1) / kRowsPerBand;
    parallel_for(net->threads, bands, [&](int band, int) {
        const int y0 = band * kRowsPerBand;
        const int y1 = std::min(image.rows, y0 + kRowsPerBand);
        const unsigned char* pixel = image.ptr<unsigned char>(y0);
        const size_t first = size_t(y0) * cols;
        const size_t last = size_t(y1) * cols;
        float* c0 = planes;
        float* c1 = c0 + plane;
        float* c2 = c1 + plane;
        for (size_t k = first; k < last; ++k, pixel += 3) {
            c0[k] = float(pixel[0]) - means[0];
            c1[k] = float(pixel[1]) - means[1];
            c2[k] = float(pixel[2]) - means[2];
        }
    });

    const std::vector<DetectionRow> rows_found = net->forward_detect(kScoreThreshold);
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
}

}  // namespace kx
