// The layer-parameter parser on any text; a layer built from what it gives is
// set up on small bottoms and run, as the network loader would.
#include <algorithm>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "detect/detection_layers.h"
#include "fuzz_input.h"
#include "net/blob_budget.h"
#include "net/layer.h"
#include "net/params.h"

// The detector's layer types join the registry once, as the detector does
// before it loads its network.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kx::register_detection_layers();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The loader never hands over more than 1023 bytes of text.
    const std::string text(reinterpret_cast<const char*>(data), std::min<size_t>(size, 1023));
    const kx::LayerParams params = kx::parse_layer_params(text);
    if (params.empty()) return 0;
    kx::Layer* layer = kx::make_layer(params);
    if (layer == nullptr) return 0;

    // Bottoms shaped like a small feature map, boxes and an information
    // triple, so that every layer type finds the bottoms it wants.
    kx::Blob features, second, info;
    features.create(18, 6, 7);
    second.create(36, 6, 7);
    info.create(3, 1, 1);
    for (int i = 0; i < features.count; ++i) features.data[i] = float(i % 17) * 0.25f - 2.0f;
    for (int i = 0; i < second.count; ++i) second.data[i] = float(i % 5) * 0.1f;
    info.data[0] = 96.0f, info.data[1] = 112.0f, info.data[2] = 1.0f;
    const kx::BlobList bottom_sets[] = {{&features}, {&features, &second}, {&features, &second, &info}};

    kx::BlobList tops;
    bool set_up = false;
    const kx::BlobList* used = nullptr;
    try {
        kx::BlobBudget budget(kx::fuzz::kFuzzBlobBudget);
        for (const kx::BlobList& bottoms : bottom_sets) {
            if (layer->setup(bottoms, tops)) {
                set_up = true;
                used = &bottoms;
                break;
            }
            for (kx::Blob* top : tops) delete top;
            tops.clear();
        }
    } catch (const std::bad_alloc&) {
        set_up = false;  // a shape beyond the budget: the loader's refusal
        for (kx::Blob* top : tops) delete top;
        tops.clear();
    }
    if (set_up) {
        for (kx::Blob* weight : layer->weights) {
            for (int i = 0; i < weight->count; ++i) weight->data[i] = float(i % 7) * 0.125f - 0.375f;
        }
        layer->forward(*used, tops);
    }
    for (kx::Blob* top : tops) delete top;
    delete layer;
    return 0;
}
