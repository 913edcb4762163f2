#pragma once
#include <string>
#include <vector>

#include "detect/detector.h"
#include "net/net.h"

namespace kx {

// Two-stage region-proposal face detector over the network stored in
// "frcnn_full_cross_500000.dat". The network takes the image as
// mean-subtracted float planes plus (height, width, scale); its two outputs
// are the box deltas (8 per candidate) and the class probabilities (2 per
// candidate, background then face).
class FRCNNDetector : public Detector {
public:
    static constexpr const char* kModelFile = "frcnn_full_cross_500000.dat";
    static constexpr float kScoreThreshold = 0.8f;

    FRCNNDetector() = default;
    ~FRCNNDetector() override;

    void load(const std::string& model_dir, int mode, int max_faces) override;
    // `image` must be a non-empty continuous 8-bit three-channel image; its
    // channels are used in the order given.
    void detect(const cv::Mat& image, std::vector<FaceRecord>& faces) override;
    void release() override;

    // Per-channel pixel means, in image channel order; empty until a load
    // succeeds.
    std::vector<float> means;
    Net* net = nullptr;  // owned
};

}  // namespace kx
