// The registry of layer types: one row per type string, tried in order. The
// general types are fixed here; the face detector adds its two layer types
// from detect/, so that the runtime does not depend on the detector.
#include <mutex>
#include <vector>

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
    LayerCreator create;
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
};

// Types added at run time, in the order added. Networks load in several
// threads at once (one per tracker), so the list is read and extended under
// a lock.
struct AddedTypes {
    std::mutex lock;
    std::vector<LayerType> types;
};

AddedTypes& added_types() {
    static AddedTypes added;
    return added;
}

LayerCreator find_added(const std::string& name) {
    AddedTypes& added = added_types();
    std::lock_guard<std::mutex> guard(added.lock);
    for (const LayerType& t : added.types) {
        if (name == t.name) return t.create;
    }
    return nullptr;
}

}  // namespace

Layer* make_layer(const LayerParams& params) {
    auto it = params.find("type");
    if (it == params.end()) return nullptr;
    for (const LayerType& t : kLayerTypes) {
        if (it->second == t.name) return t.create(params);
    }
    const LayerCreator create = find_added(it->second);
    return create != nullptr ? create(params) : nullptr;
}

void add_layer_type(const char* name, LayerCreator create) {
    for (const LayerType& t : kLayerTypes) {
        if (std::string(name) == t.name) return;
    }
    AddedTypes& added = added_types();
    std::lock_guard<std::mutex> guard(added.lock);
    for (const LayerType& t : added.types) {
        if (std::string(name) == t.name) return;
    }
    added.types.push_back({name, create});
}

}  // namespace kx
