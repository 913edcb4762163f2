#pragma once
#include "net/layer.h"

namespace kx {

// Layer "roipooling": max-pools the feature map inside every candidate box
// into a fixed pooled_h x pooled_w grid per channel, so that the layers
// behind it see one fixed-size input per candidate.
//
// Bottoms: 0 the feature map (only its first item is read), 1 the boxes as
// rows (batch index, x1, y1, x2, y2) in input pixels, one row per item.
// Top: (channels, pooled_h, pooled_w) per box, num = number of boxes.
// Parameters, all required: pooled_w, pooled_h, spatial_scale (input pixels
// to feature cells).
class ROIPoolingLayer : public Layer {
public:
    explicit ROIPoolingLayer(const LayerParams& params) : Layer(params) {}

    bool setup(const BlobList& bottoms, BlobList& tops) override;
    void forward(const BlobList& bottoms, const BlobList& tops) override;

    int num_rois = 0;
    int channels = 0;
    int pooled_w = 0;
    int pooled_h = 0;
    float spatial_scale = 0.0f;

private:
    // Bottom count and required keys, each failure with its own message;
    // records the members on success.
    bool check_and_record(const BlobList& bottoms);
    void pool(const Blob& features, const Blob& rois, Blob& top) const;
};

}  // namespace kx
