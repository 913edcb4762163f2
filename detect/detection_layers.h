#pragma once
// The face detector's two layer types, "frcnnproposal" and "roipooling", in
// the network runtime's registry.

namespace kx {

// Makes make_layer build FrcnnProposalLayer and ROIPoolingLayer, after the
// general types. The detector calls it before it loads its network; programs
// that load detector networks themselves call it first. Repeated calls do
// nothing more.
void register_detection_layers();

}  // namespace kx
