#include "net/layers/reshape_layer.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "net/console.h"

namespace kx {

bool ReshapeLayer::derive_dims(const BlobList& bottoms, Dims& dims) const {
    if (bottoms.size() != 1) {
        say("pre_data size is not 1");
        return false;
    }
    for (const char* key : {"reshape_dim1", "reshape_dim2", "reshape_dim3", "reshape_dim4"}) {
        if (!has_param(params, key)) {
            say(std::string(key) + " is not found");
            return false;
        }
    }
    const Blob& bottom = *bottoms[0];
    const int wanted[3] = {param_int(params, "reshape_dim2"), param_int(params, "reshape_dim3"),
                           param_int(params, "reshape_dim4")};
    const int current[3] = {bottom.channels, bottom.height, bottom.width};
    long long out[3] = {0, 0, 0};

    // Product of the dimensions that are known; kept in 64 bits so that
    // large explicit values cannot overflow it.
    long long known = 1;
    int inferred = -1;
    for (int k = 0; k < 3; ++k) {
        if (wanted[k] == 0) {
            out[k] = current[k];
            known *= out[k];
        } else if (wanted[k] == -1) {
            if (inferred >= 0) return false;  // a second -1: refused without a message
            inferred = k;
        } else {
            out[k] = wanted[k];
            known *= out[k];
        }
        if (known > 0x7fffffffLL || known < -0x7fffffffLL) known = 0x7fffffffLL + 1;
    }

    const long long total = (long long)bottom.channels * bottom.height * bottom.width;
    // A zero product (a bottom without a shape) cannot divide anything.
    if (known == 0 || total % known != 0) {
        say("Can not mode explicitCount");
        return false;
    }
    if (inferred >= 0) out[inferred] = total / known;

    dims.channels = int(out[0]);
    dims.height = int(out[1]);
    dims.width = int(out[2]);
    return true;
}

bool ReshapeLayer::setup(const BlobList& bottoms, BlobList& tops) {
    Dims dims{};
    if (!derive_dims(bottoms, dims)) return false;
    if (!append_new_blob(tops, dims.channels, dims.height, dims.width)) {
        say("Top blob init fail");
        return false;
    }
    return true;
}

bool ReshapeLayer::reshape_top(const BlobList& bottoms, const BlobList& tops) {
    Dims dims{};
    if (!derive_dims(bottoms, dims) || tops.empty()) return false;
    // The top takes one item's values; a bottom of no items cannot fill it,
    // and is refused before the top gives up its storage.
    const Blob& bottom = *bottoms[0];
    if (bottom.data == nullptr ||
        int64_t(bottom.count) < int64_t(bottom.channels) * bottom.height * bottom.width) {
        return false;
    }
    // A refused shape leaves the top as it was; the copy below still only
    // takes what the bottom holds.
    tops[0]->reshape(dims.channels, dims.height, dims.width);
    return true;
}

void ReshapeLayer::forward(const BlobList& bottoms, const BlobList& tops) {
    if (!reshape_top(bottoms, tops) || tops[0]->count > bottoms[0]->count) {
        say_reshape_failed();
        return;
    }
    std::memcpy(tops[0]->data, bottoms[0]->data, sizeof(float) * size_t(tops[0]->count));
}

}  // namespace kx
