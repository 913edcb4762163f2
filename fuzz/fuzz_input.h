#pragma once
// What the harnesses share: a read-only stream over the fuzzer's bytes, and a
// blob budget small enough that one input never needs more than a few tens of
// megabytes, so that the fuzzer's memory limit flags only real leaks or runaway
// allocations.
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace kx::fuzz {

constexpr int64_t kFuzzBlobBudget = int64_t(16) << 20;

// A stream over the bytes; null for no bytes (fmemopen refuses a size of 0),
// which the loaders must take as a missing file.
inline FILE* open_input(const uint8_t* data, size_t size) {
    if (size == 0) return nullptr;
    return fmemopen(const_cast<uint8_t*>(data), size, "rb");
}

}  // namespace kx::fuzz
