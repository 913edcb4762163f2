#pragma once
// The fixed input that `run` and `bench` feed a network, so that checksums
// can be compared between builds and machines.
#include "net/net.h"

namespace kx::tool {

// Blob 0 gets pixel-like whole numbers 0..255 from a fixed-seed xorshift
// generator; blob 1 of a two-input network gets (height, width, 1.0), the
// information triple of a detection run, and zeros after it.
void fill_test_input(Net& net, bool two_inputs);

}  // namespace kx::tool
