#include "detect/detection_layers.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "detect/frcnn_proposal_layer.h"
#include "detect/roi_pooling_layer.h"
#include "net/layer.h"

namespace kx {
namespace {

std::unique_ptr<Layer> make(const std::string& type) {
    LayerParams params;
    params["type"] = type;
    return std::unique_ptr<Layer>(make_layer(params));
}

// The test program registers the detector's types before its tests (as
// every program that loads detector networks does); registering again must
// leave the two types as they are.
TEST(DetectionLayers, RegisteredTypesBuildTheDetectorsLayers) {
    register_detection_layers();
    register_detection_layers();
    EXPECT_NE(dynamic_cast<FrcnnProposalLayer*>(make("frcnnproposal").get()), nullptr);
    EXPECT_NE(dynamic_cast<ROIPoolingLayer*>(make("roipooling").get()), nullptr);
    EXPECT_EQ(make("frcnn_proposal"), nullptr);
    EXPECT_EQ(make("ROIPooling"), nullptr);
}

}  // namespace
}  // namespace kx
