#pragma once
// A small single-input network shaped like the landmark networks: a 60 x 60
// grey face crop in, ten landmark coordinates and a two-class face score out.
// Its weights are pseudo-random from a fixed seed, so every build writes the
// same bytes; it shows the file format and the tools, it detects nothing.
#include "stdcnn_writer.h"

namespace kx {

ModelFile sample_network();

}  // namespace kx
