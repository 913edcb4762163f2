#include "text_format.h"

namespace kx::tool {

std::string shape_text(const Blob& blob) {
    std::string text = std::to_string(blob.channels) + "x" + std::to_string(blob.height) + "x" +
                       std::to_string(blob.width);
    if (blob.num > 1) text += " (" + std::to_string(blob.num) + " items)";
    return text;
}

std::string ids_text(const std::vector<int>& ids) {
    if (ids.empty()) return "-";
    std::string text;
    for (int id : ids) text += (text.empty() ? "" : ",") + std::to_string(id);
    return text;
}

std::string params_text(const LayerParams& params) {
    std::string text;
    for (const auto& [key, value] : params) {
        if (key == "type") continue;
        text += (text.empty() ? "" : " ") + key + "=" + value;
    }
    return text;
}

}  // namespace kx::tool
