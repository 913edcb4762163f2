// The registry of layer types: one row per type string, tried in order.
#include "detect/frcnn_proposal_layer.h"
#include "detect/roi_pooling_layer.h"
#include "net/layer.h"
#include "net/layers/concat_layer.h"
#include "net/layers/conv_layer.h"
#include "net/layers/dropout_layer.h"
#include "net/layers/flatten_layer.h"
#include "net/layers/full_connect_layer.h"
#include "net/layers/l2norm_layer.h"
#include "net/layers/lrn_layer.h"
#include "net/layers/pool_layer.h"
#include "net/layers/prelu_layer.h"
#include "net/layers/relu_layer.h"
#include "net/layers/reshape_layer.h"
#include "net/layers/sigmoid_layer.h"
#include "net/layers/softmax_layer.h"
#include "net/layers/tanh_layer.h"

namespace kx {

namespace {

template <class L>
Layer* build(const LayerParams& params) {
    return new L(params);
}

struct LayerType {
    const char* name;
    Layer* (*create)(const LayerParams&);
};

const LayerType kLayerTypes[] = {
    {"conv", build<ConvLayer>},
    {"relu", build<ReluLayer>},
    {"sigmoid", build<SigmoidLayer>},
    {"tanh", build<TanhLayer>},
    {"pool", build<PoolLayer>},
    {"lrn", build<LrnLayer>},
    {"fullconnect", build<FullConnectLayer>},
    {"dropout", build<DropoutLayer>},
    {"softmax", build<SoftmaxLayer>},
    {"concat", build<ConcatLayer>},
    {"prelu", build<PReluLayer>},
    {"l2norm", build<L2normLayer>},
    {"flatten", build<FlattenLayer>},
    {"reshape", build<ReshapeLayer>},
    {"frcnnproposal", build<FrcnnProposalLayer>},
    {"roipooling", build<ROIPoolingLayer>},
};

}  // namespace

Layer* make_layer(const LayerParams& params) {
    auto it = params.find("type");
    if (it == params.end()) return nullptr;
    for (const LayerType& t : kLayerTypes) {
        if (it->second == t.name) return t.create(params);
    }
    return nullptr;
}

}  // namespace kx
