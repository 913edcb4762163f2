#pragma once
// Reader of the reference fixtures that tests/fixtures/*.py generate.
//
// A fixture file is a sequence of named records:
//   int32 name length, name bytes, int32 kind,
//   kind 0 (tensor): int32 ndims, ndims x int32 dims, prod(dims) x float32
//   kind 1 (text):   int32 length, bytes
// all little-endian.
#include <map>
#include <string>
#include <vector>

namespace kx::test {

struct Tensor {
    std::vector<int> dims;
    std::vector<float> values;
};

struct Fixture {
    std::map<std::string, Tensor> tensors;
    std::map<std::string, std::string> texts;

    const Tensor& tensor(const std::string& name) const;
    const std::string& text(const std::string& name) const;
};

// Loads tests/fixtures/<name>; fails the current test when it is missing.
Fixture load_fixture(const std::string& name);

}  // namespace kx::test
