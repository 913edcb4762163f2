#include "net/layer.h"

#include <memory>

namespace kx {

Layer::~Layer() {
    for (Blob* b : weights) delete b;
}

bool append_top(BlobList& tops, int channels, int height, int width, int num) {
    auto top = std::make_unique<Blob>();
    if (!top->create(channels, height, width, num)) return false;
    tops.push_back(top.release());
    return true;
}

std::string Layer::type() const {
    auto it = params.find("type");
    return it == params.end() ? std::string() : it->second;
}

}  // namespace kx
