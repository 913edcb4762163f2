#pragma once
// What a layer costs: how many weights it stores and roughly how much work
// one pass does. Neither is kept by the network; both follow from the
// layer's parameters, its weight blobs and the shapes of its blobs.
#include <cstddef>
#include <cstdint>

#include "net/net.h"

namespace kx::tool {

struct LayerCost {
    int64_t weights = 0;        // values in all weight blobs
    int64_t multiply_adds = 0;  // per pass, at the blobs' current shapes
};

// Convolutions and fully connected layers count their multiply-adds exactly;
// pooling and local response normalisation one per window term; the other
// computing element-wise layers one per output value; pure copies (dropout,
// flatten, reshape, concat) and unknown types nothing.
LayerCost layer_cost(const Net& net, size_t layer_index);

// The sums over all layers.
LayerCost network_cost(const Net& net);

}  // namespace kx::tool
