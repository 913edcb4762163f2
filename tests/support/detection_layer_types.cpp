// The test program loads detector networks itself (not only through
// FRCNNDetector), as kxmodel and the benchmarks do, so it makes the
// detector's layer types known before any test runs.
#include <gtest/gtest.h>

#include "detect/detection_layers.h"

namespace {

class DetectionLayerTypes : public ::testing::Environment {
public:
    void SetUp() override { kx::register_detection_layers(); }
};

::testing::Environment* const kDetectionLayerTypes =
    ::testing::AddGlobalTestEnvironment(new DetectionLayerTypes);

}  // namespace
