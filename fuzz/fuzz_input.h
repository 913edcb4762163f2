#pragma once
// What the harnesses share: a read-only stream over the fuzzer's bytes, and a
// blob budget small enough that one input never needs more than a few tens of
// megabytes, so that the fuzzer's memory limit flags only real leaks or runaway
// allocations.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "net/net.h"

namespace kx::fuzz {

constexpr int64_t kFuzzBlobBudget = int64_t(16) << 20;

// A stream over the bytes; null for no bytes (fmemopen refuses a size of 0),
// which the loaders must take as a missing file.
inline FILE* open_input(const uint8_t* data, size_t size) {
    if (size == 0) return nullptr;
    return fmemopen(const_cast<uint8_t*>(data), size, "rb");
}

// Loads the bytes as a model file into `net` under the fuzzing blob budget:
// the two-input (detector) variant or the single-input one.
inline bool load_net(Net& net, const uint8_t* data, size_t size, bool two_inputs) {
    net.blob_budget = kFuzzBlobBudget;
    FILE* file = open_input(data, size);
    const bool loaded = two_inputs ? net.load_model(file) : net.load_model_single_input(file);
    if (file != nullptr) std::fclose(file);
    return loaded;
}

}  // namespace kx::fuzz
