#pragma once
// Short texts for blob shapes, id lists and layer parameters.
#include <string>
#include <vector>

#include "net/blob.h"
#include "net/params.h"

namespace kx::tool {

// "16x29x29" (channels x height x width), with "x<num>items" added when a
// blob holds more than one item.
std::string shape_text(const Blob& blob);
// "3,4" for a list of ids, "-" for none.
std::string ids_text(const std::vector<int>& ids);
// "ksize=3 map_num=16" in key order, without the type.
std::string params_text(const LayerParams& params);

}  // namespace kx::tool
