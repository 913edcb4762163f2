#include "detect/detection_layers.h"

#include <mutex>

#include "detect/frcnn_proposal_layer.h"
#include "detect/roi_pooling_layer.h"
#include "net/layer.h"

namespace kx {

namespace {

template <class L>
Layer* build(const LayerParams& params) {
    return new L(params);
}

}  // namespace

void register_detection_layers() {
    static std::once_flag once;
    std::call_once(once, [] {
        add_layer_type("frcnnproposal", build<FrcnnProposalLayer>);
        add_layer_type("roipooling", build<ROIPoolingLayer>);
    });
}

}  // namespace kx
