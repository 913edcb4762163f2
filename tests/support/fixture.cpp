#include "support/fixture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace kx::test {

namespace {

class Reader {
public:
    explicit Reader(std::string bytes) : bytes_(std::move(bytes)) {}
    bool done() const { return pos_ >= bytes_.size(); }
    int32_t i32() {
        need(4);
        uint32_t u = 0;
        for (int i = 0; i < 4; ++i) u |= uint32_t(uint8_t(bytes_[pos_ + size_t(i)])) << (8 * i);
        pos_ += 4;
        return int32_t(u);
    }
    float f32() {
        const uint32_t u = uint32_t(i32());
        float f;
        std::memcpy(&f, &u, 4);
        return f;
    }
    std::string text(size_t n) {
        need(n);
        std::string s = bytes_.substr(pos_, n);
        pos_ += n;
        return s;
    }

private:
    void need(size_t n) {
        if (pos_ + n > bytes_.size()) throw std::runtime_error("fixture file is cut short");
    }
    std::string bytes_;
    size_t pos_ = 0;
};

}  // namespace

const Tensor& Fixture::tensor(const std::string& name) const {
    auto it = tensors.find(name);
    if (it == tensors.end()) throw std::runtime_error("fixture has no tensor " + name);
    return it->second;
}

const std::string& Fixture::text(const std::string& name) const {
    auto it = texts.find(name);
    if (it == texts.end()) throw std::runtime_error("fixture has no text " + name);
    return it->second;
}

Fixture load_fixture(const std::string& name) {
    const std::string path = std::string(KX_TEST_FIXTURES) + "/" + name;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ADD_FAILURE() << "missing fixture " << path;
        return {};
    }
    Reader r(std::string(std::istreambuf_iterator<char>(in), {}));
    Fixture f;
    while (!r.done()) {
        const std::string key = r.text(size_t(r.i32()));
        const int32_t kind = r.i32();
        if (kind == 0) {
            Tensor t;
            const int32_t ndims = r.i32();
            size_t total = 1;
            for (int32_t i = 0; i < ndims; ++i) {
                t.dims.push_back(r.i32());
                total *= size_t(t.dims.back());
            }
            t.values.resize(total);
            for (float& v : t.values) v = r.f32();
            f.tensors[key] = std::move(t);
        } else {
            f.texts[key] = r.text(size_t(r.i32()));
        }
    }
    return f;
}

}  // namespace kx::test
