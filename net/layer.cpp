#include "net/layer.h"

namespace kx {

Layer::~Layer() {
    for (Blob* b : weights) delete b;
}

std::string Layer::type() const {
    auto it = params.find("type");
    return it == params.end() ? std::string() : it->second;
}

}  // namespace kx
