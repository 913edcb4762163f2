#pragma once
// The four things the model tool does with a loaded network. Each prints
// its report on standard output and answers the process exit code.
#include <string>

#include "net/net.h"

namespace kx::tool {

int print_info(const std::string& path, bool two_inputs, const Net& net);
int run_once(Net& net, bool two_inputs);
// Times passes with the network's work shared out on `threads` threads.
int bench(Net& net, bool two_inputs, int runs, int threads);
// Times every layer of `runs` passes on its own and prints each layer's
// median and share.
int profile(Net& net, bool two_inputs, int runs, int threads);

}  // namespace kx::tool
