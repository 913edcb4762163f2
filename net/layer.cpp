#include "net/layer.h"

#include <memory>

namespace kx {

Layer::~Layer() {
    for (Blob* b : weights) delete b;
}

bool append_new_blob(BlobList& list, int channels, int height, int width, int num) {
    auto blob = std::make_unique<Blob>();
    if (!blob->create(channels, height, width, num)) return false;
    list.push_back(blob.release());
    return true;
}

std::string Layer::type() const {
    auto it = params.find("type");
    return it == params.end() ? std::string() : it->second;
}

}  // namespace kx
