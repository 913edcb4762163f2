#pragma once
// Opening a "stdcnn" file for the model tool, with a reason when it fails.
#include <string>

#include "net/net.h"

namespace kx::tool {

// Loads the network at `path` with the reader of the chosen variant. On
// failure answers false and sets `error` to one line that names the file and
// says what went wrong.
bool load_network_file(const std::string& path, bool two_inputs, Net& net, std::string& error);

}  // namespace kx::tool
