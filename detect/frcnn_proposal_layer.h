#pragma once
#include <cstdint>
#include <vector>

#include "detect/box_ops.h"
#include "net/layer.h"

namespace kx {

// Layer "frcnnproposal": turns per-anchor object scores and box deltas over a
// feature map into a short list of candidate boxes in input pixels.
//
// Bottoms: 0 the scores (channel 9 + a is the object score of anchor a; at
// least 18 channels), 1 the deltas (4 per anchor: dx, dy, dw, dh of anchor a
// at channels 4a..4a+3; its height and width are the feature map's), 2 the
// image information (height, width, scale).
// Top: one row (0, x1, y1, x2, y2) per proposal: channels 5, num = count.
//
// Parameters (read again on every pass): rpn_pre_nms_top_n (1000),
// rpn_post_nms_top_n (100), rpn_nms_thresh (0.7), rpn_min_size (16),
// feat_stride (16).
class FrcnnProposalLayer : public Layer {
public:
    explicit FrcnnProposalLayer(const LayerParams& params) : Layer(params) {}

    bool setup(const BlobList& bottoms, BlobList& tops) override;
    void forward(const BlobList& bottoms, const BlobList& tops) override;

    // The boxes the last successful pass accepted, best first.
    const std::vector<BoxF>& proposals() const { return proposals_; }

private:
    struct Settings {
        int pre_nms_top_n;
        int post_nms_top_n;
        float nms_thresh;
        int min_size;
        int feat_stride;
    };
    Settings read_settings() const;
    static bool bottoms_usable(const BlobList& bottoms);
    // Fills proposals_; false when the bottoms or parameters are unusable.
    bool compute(const BlobList& bottoms);

    // The decoded boxes' corners as separate arrays, padded to whole words
    // of keep flags, for the suppression loop.
    struct Corners {
        std::vector<float> x1, y1, x2, y2;
        void fill(const std::vector<BoxF>& boxes, int n);
    };
    void suppress_after(int i, int n, float thresh);

    std::vector<BoxF> proposals_;
    // Scratch reused between passes to avoid reallocating per image.
    std::vector<uint64_t> order_;  // ranking keys of the (score, index) pairs
    std::vector<BoxF> decoded_;
    std::vector<uint32_t> keep_;
    Corners corners_;
};

}  // namespace kx
