// The detection run of the two-input detector network and the decoding of
// its outputs into face boxes.
#include "detect/detection_run.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include "detect/box_ops.h"
#include "detect/frcnn_proposal_layer.h"
#include "net/console.h"
#include "net/net.h"

namespace kx {

namespace {

// The 32-bit overlap is compared with the double 0.3.
constexpr double kSuppressOverlap = 0.3;

struct Candidate {
    BoxF box;
    float score;
};

// Higher score first; NaN scores last so that the order stays well defined.
bool scores_higher(const Candidate& a, const Candidate& b) {
    const bool a_nan = std::isnan(a.score);
    const bool b_nan = std::isnan(b.score);
    if (a_nan != b_nan) return b_nan;
    return !a_nan && a.score > b.score;
}

}  // namespace

std::vector<DetectionRow> decodeDetections(const float* info, int candidates, const float* boxes,
                                           const float* deltas, const float* probs, float threshold) {
    if (candidates <= 0) return {};
    const float scale = info[2];
    const int img_h = truncToInt(float(truncToInt(info[0])) / scale);
    const int img_w = truncToInt(float(truncToInt(info[1])) / scale);
    const float max_x = float(img_w);
    const float max_y = float(img_h);

    std::vector<Candidate> found(static_cast<size_t>(candidates));
    for (int i = 0; i < candidates; ++i) {
        const float* row = boxes + size_t(i) * 5;
        BoxF box;
        box.x1 = row[1] / scale;
        box.y1 = row[2] / scale;
        box.x2 = row[3] / scale;
        box.y2 = row[4] / scale;
        BoxF b = applyBoxDeltas(box, deltas + size_t(i) * 8 + 4);
        // Only edges that reach out of the image are pulled back.
        if (b.x1 <= 1.0f) b.x1 = 1.0f;
        if (b.y1 <= 1.0f) b.y1 = 1.0f;
        if (b.x2 >= max_x) b.x2 = max_x;
        if (b.y2 >= max_y) b.y2 = max_y;
        found[size_t(i)] = Candidate{b, probs[size_t(i) * 2 + 1]};
    }
    // Every candidate is a face; equal scores keep the candidates' order.
    std::stable_sort(found.begin(), found.end(), scores_higher);

    std::vector<char> suppressed(found.size(), 0);
    std::vector<DetectionRow> rows;
    for (size_t i = 0; i < found.size(); ++i) {
        if (suppressed[i]) continue;
        const Candidate& best = found[i];
        if (!(best.score >= threshold)) break;  // a NaN score ends it too
        for (size_t j = i + 1; j < found.size(); ++j) {
            if (!suppressed[j] && double(boxOverlap(best.box, found[j].box)) > kSuppressOverlap) {
                suppressed[j] = 1;
            }
        }
        rows.push_back(DetectionRow{best.box.x1, best.box.y1, best.box.x2 - best.box.x1,
                                    best.box.y2 - best.box.y1, best.score});
    }
    return rows;
}

std::vector<DetectionRow> Net::detect(const std::vector<float>& data, const std::vector<float>& info,
                                      float threshold) {
    if (!ready) return {};
    // The planes must fill the image's size exactly.
    const int h = info.size() >= 2 ? truncToInt(info[0]) : 0;
    const int w = info.size() >= 2 ? truncToInt(info[1]) : 0;
    const uint64_t plane = (h > 0 && w > 0) ? uint64_t(h) * uint64_t(w) : 0;
    const uint64_t channels = plane && data.size() % plane == 0 ? data.size() / plane : 0;
    float* input = detection_input(info, channels);
    if (input == nullptr) return {};
    std::copy(data.begin(), data.end(), input);
    return forward_detect(threshold);
}

float* Net::detection_input(const std::vector<float>& info, uint64_t channels) {
    if (!ready) return nullptr;
    // The information input has room for info_size values, and the run reads
    // three of them.
    if (blobs.size() < 2 || info.size() < 3 || info.size() > size_t(info_size) ||
        info.size() > size_t(blobs[1]->count)) {
        say("detect: the information list must hold 3 to " + std::to_string(info_size) + " values");
        return nullptr;
    }

    // Blob 0 takes the image's own size with the channels the model was
    // built for.
    const int h = truncToInt(info[0]);
    const int w = truncToInt(info[1]);
    // A blob that already has the shape keeps its storage: fresh storage
    // would be faulted in page by page on every run.
    Blob& input = *blobs[0];
    const bool fits = input.data != nullptr && input.num == 1 && uint64_t(input.channels) == channels &&
                      input.height == h && input.width == w;
    if (h <= 0 || w <= 0 || channels == 0 || channels != uint64_t(input_channels) ||
        (!fits && !input.reshape(int(channels), h, w))) {
        say("Error in reshape input data blob");
        return nullptr;
    }
    std::copy(info.begin(), info.end(), blobs[1]->data);
    return input.data;
}

std::vector<DetectionRow> Net::forward_detect(float threshold) {
    if (!ready) {
        say("cnn not ready");
        return {};
    }
    // Several proposal layers: the count comes from the first and the boxes
    // from the last.
    const Blob* count_blob = nullptr;
    const Blob* box_blob = nullptr;
    for (size_t k = 0; k < layers.size(); ++k) {
        run_layer(k);
        if (!top_ids[k].empty() && layers[k]->type() == "frcnnproposal") {
            const Blob* top = blobs[size_t(top_ids[k][0])];
            // A pass whose proposal layer kept no box has no candidate: its
            // top still holds the rows of an earlier pass (or of none), and
            // classifying those would report faces this image does not have.
            const auto* proposal = dynamic_cast<const FrcnnProposalLayer*>(layers[k]);
            if (count_blob == nullptr && proposal != nullptr && proposal->proposals().empty()) return {};
            if (count_blob == nullptr) count_blob = top;
            box_blob = top;
        }
    }
    const BlobList outputs = collect_outputs();
    if (count_blob == nullptr) return {};  // no candidates to decode

    const int n = count_blob->num;
    const int64_t need = n > 0 ? n : 0;
    if (outputs.size() < 2 || blobs.size() < 2 || info_size < 3 || blobs[1]->count < 3 ||
        box_blob->count < need * 5 || outputs[0]->count < need * 8 || outputs[1]->count < need * 2) {
        say("detect: the model's outputs do not hold its candidates");
        return {};
    }
    return decodeDetections(blobs[1]->data, n, box_blob->data, outputs[0]->data, outputs[1]->data, threshold);
}

}  // namespace kx
