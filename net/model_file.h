#pragma once
// Loading a network straight from a model file's path.
#include <string>

#include "net/net.h"

namespace kx {

// Opens path and reads the network with the loader of the file's variant
// (two inputs: image and information; else image only). A file that cannot
// be opened goes to the loader as null, which reports it and fails.
bool loadNetFile(Net& net, const std::string& path, bool two_inputs);

}  // namespace kx
