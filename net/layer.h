#pragma once
#include <string>

#include "net/blob.h"
#include "net/params.h"

namespace kx {

class ThreadPool;

// Base of every layer type. `setup` runs once at load time with bottoms whose
// shapes are set: it checks them, reads parameters, creates the weight blobs
// and appends freshly created tops (which the network then owns).
// `forward` computes the tops from the bottoms on every pass.
class Layer {
public:
    explicit Layer(const LayerParams& params) : params(params) {}
    virtual ~Layer();
    Layer(const Layer&) = delete;
    Layer& operator=(const Layer&) = delete;

    virtual bool setup(const BlobList& bottoms, BlobList& tops) = 0;
    virtual void forward(const BlobList& bottoms, const BlobList& tops) = 0;

    std::string type() const;

    LayerParams params;
    BlobList weights;  // owned; filled by the model loader in list order
    // The threads a heavy layer may share its work out on; null runs it on
    // the calling thread. Not owned; the network sets it before each run.
    ThreadPool* threads = nullptr;
};

// Creates a blob of the given shape and appends it to `list`: how a layer's
// setup makes its tops (handed to the network) and its weight blobs. False,
// with nothing appended, when the shape is refused.
bool append_new_blob(BlobList& list, int channels, int height, int width, int num = 1);

// Builds the layer class named by params["type"], or returns null for an
// unknown type. The general types of net/layers are always known; further
// types (the face detector's) are known once added with add_layer_type.
Layer* make_layer(const LayerParams& params);

// Builds one layer type from its parameters.
using LayerCreator = Layer* (*)(const LayerParams& params);

// Makes make_layer build `name`, tried after the general types and the types
// added before it. A name already known keeps its first meaning. Safe to call
// from several threads; `name` must outlive the program (a literal).
void add_layer_type(const char* name, LayerCreator create);

}  // namespace kx
