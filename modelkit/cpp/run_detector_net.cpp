// run_detector_net: runs a two-input detector "stdcnn" network with the
// library's runtime on one raw image input and writes what it produced.
//
//   run_detector_net MODEL INPUT.f32 HEIGHT WIDTH THRESHOLD OUTPUT.f32
//
// INPUT.f32 holds 3 x HEIGHT x WIDTH float32 values (the image planes as the
// detector feeds them). OUTPUT.f32 gets float32 values: the candidate count
// N, the N candidate rows (0, x1, y1, x2, y2) of the proposal layer, output 0
// (8 per candidate), output 1 (2 per candidate), then the count M of decoded
// detections at THRESHOLD and their M rows (x, y, width, height, score).
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "detect/detection_layers.h"
#include "detect/detection_row.h"
#include "net/model_file.h"
#include "net/net.h"

namespace {

void put(std::vector<float>& out, const kx::Blob* blob, size_t count) {
    out.insert(out.end(), blob->data, blob->data + count);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: run_detector_net MODEL INPUT.f32 HEIGHT WIDTH THRESHOLD OUTPUT.f32\n");
        return 2;
    }
    kx::register_detection_layers();
    kx::Net net;
    if (!kx::loadNetFile(net, argv[1], true)) {
        std::fprintf(stderr, "run_detector_net: %s does not load\n", argv[1]);
        return 1;
    }
    const int height = std::atoi(argv[3]), width = std::atoi(argv[4]);
    std::vector<float> data(size_t(3) * height * width);
    FILE* in = std::fopen(argv[2], "rb");
    if (in == nullptr || std::fread(data.data(), sizeof(float), data.size(), in) != data.size()) {
        std::fprintf(stderr, "run_detector_net: %s does not hold 3 x %d x %d floats\n", argv[2], height, width);
        if (in != nullptr) std::fclose(in);
        return 1;
    }
    std::fclose(in);

    const std::vector<float> info = {float(height), float(width), 1.0f};
    const std::vector<kx::DetectionRow> rows = net.detect(data, info, float(std::atof(argv[5])));

    const kx::Blob* boxes = nullptr;
    for (size_t i = 0; i < net.layers.size(); ++i) {
        if (net.layers[i]->type() == "frcnnproposal") boxes = net.blobs[net.top_ids[i][0]];
    }
    if (boxes == nullptr || net.output_ids.size() < 2) {
        std::fprintf(stderr, "run_detector_net: not a detector model\n");
        return 1;
    }
    const size_t n = size_t(boxes->num);
    std::vector<float> out = {float(n)};
    put(out, boxes, n * 5);
    put(out, net.blobs[net.output_ids[0]], n * 8);
    put(out, net.blobs[net.output_ids[1]], n * 2);
    out.push_back(float(rows.size()));
    for (const kx::DetectionRow& r : rows) out.insert(out.end(), {r.x, r.y, r.width, r.height, r.score});

    FILE* dst = std::fopen(argv[6], "wb");
    if (dst == nullptr || std::fwrite(out.data(), sizeof(float), out.size(), dst) != out.size()) {
        std::fprintf(stderr, "run_detector_net: cannot write %s\n", argv[6]);
        if (dst != nullptr) std::fclose(dst);
        return 1;
    }
    std::fclose(dst);
    return 0;
}
