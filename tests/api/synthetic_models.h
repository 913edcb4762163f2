#pragma once
// A complete model folder of small hand-made networks, so that the entry
// points and the face tracker run end to end on synthetic frames:
//
//  - detector: the synthetic detector of tests/detect: every bright 16 x 16
//    cell (grey level 255 on black) is a face, found as a 129 x 129 box
//    centred on the cell;
//  - five-point network: constant outputs, so the five points sit at fixed
//    places in every face box (eyes above the box centre, mouth below);
//  - 95-point network: a constant shape in crop units that agrees with those
//    five points, and a face score that follows the crop's brightness: a
//    crop holding a bright cell is a face, a black crop is not;
//  - regression cascade: no stages, so it leaves the coarse shape as it is.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "api/tracker.h"
#include "detect/synthetic_detector_model.h"
#include "stdcnn_writer.h"
#include "support/landmark_model_writer.h"

namespace kx::test {

namespace fs = std::filesystem;

// A fresh folder under the temporary directory, removed with the object.
class TempFolder {
public:
    explicit TempFolder(const std::string& tag) {
        const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
        const std::string test = info != nullptr ? std::string(info->test_suite_name()) + "_" + info->name() : "none";
        path_ = fs::temp_directory_path() / ("kx_" + tag + "_" + test + "_" + std::to_string(::getpid()));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TempFolder() { fs::remove_all(path_, ignored_); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    std::string str() const { return path_.string(); }
    fs::path path() const { return path_; }

private:
    fs::path path_;
    std::error_code ignored_;
};

// Five-point network outputs in crop units (-1..1 across the face box):
// eyes, nose, mouth corners.
inline std::vector<float> fivePointUnits() {
    return {-0.3f, -0.2f, 0.3f, -0.2f, 0.0f, 0.1f, -0.2f, 0.4f, 0.2f, 0.4f};
}

// The 95-point network's shape in crop units. The 60 x 60 crop puts the eye
// centre at (30, 14) and the mouth centre at (30, 38); the eye and mouth rows
// sit there, the other rows on a grid, so the shape maps back onto the five
// points it was warped from.
inline std::vector<float> ninetyFiveUnits() {
    std::vector<cv::Point2f> crop;
    for (int i = 0; i < 95; ++i) {
        crop.emplace_back(10.0f + 4.0f * float(i % 10), 6.0f + 5.0f * float(i / 10));
    }
    crop[39] = {19, 14}, crop[45] = {25, 14}, crop[51] = {35, 14}, crop[57] = {41, 14};  // eyes
    crop[65] = crop[72] = {30, 26};                                                 // nose
    crop[87] = {24, 38}, crop[91] = {36, 38};                                       // mouth corners
    std::vector<float> units;
    for (const cv::Point2f& c : crop) {
        units.push_back((c.x - 30.0f) / 30.0f);
        units.push_back((c.y - 30.0f) / 30.0f);
    }
    return units;
}

// A single-input network on a 60 x 60 grey crop made of fully connected
// heads, each reading the crop directly.
struct Head {
    std::vector<float> weights;  // outputs x 3600, row-major; empty: zeros
    std::vector<float> biases;
};

inline ModelFile denseNetwork(const std::vector<Head>& heads) {
    ModelFile model;
    model.channels = 1;
    model.height = 60;
    model.width = 60;
    for (size_t i = 0; i < heads.size(); ++i) {
        LayerRecord layer;
        const size_t outputs = heads[i].biases.size();
        layer.params = layer_params({{"type", "fullconnect"}, {"node_num", std::to_string(outputs)}});
        layer.bottoms = {0};
        layer.weights = heads[i].weights;
        layer.weights.resize(outputs * 3600, 0.0f);
        layer.weights.insert(layer.weights.end(), heads[i].biases.begin(), heads[i].biases.end());
        model.layers.push_back(layer);
        model.outputs.push_back(int(i) + 1);
    }
    return model;
}

inline ModelFile fivePointNetwork() { return denseNetwork({{{}, fivePointUnits()}}); }

// Face logit l1 = mean crop brightness - 1 against l0 = 0: a black crop is
// not a face, a crop holding part of a bright cell is.
inline ModelFile ninetyFivePointNetwork() {
    Head logits;
    logits.biases = {0.0f, -1.0f};
    logits.weights.assign(2 * 3600, 0.0f);
    for (size_t k = 3600; k < 2 * 3600; ++k) logits.weights[k] = 1.0f / 3600.0f;
    return denseNetwork({{{}, ninetyFiveUnits()}, logits});
}

inline ModelSpec emptyCascade() {
    ModelSpec cascade;
    cascade.landmark_num = 95;
    cascade.mean.assign(190, 0.0f);
    return cascade;
}

// Writes the four files into dir, except the one named `skip`.
inline void writeSyntheticModels(const std::string& dir, const std::string& skip = "") {
    if (skip != kDetectorModelFile) {
        SyntheticDetectorOptions options;
        ASSERT_TRUE(write_model_file(makeSyntheticDetectorModel(options), dir + "/" + kDetectorModelFile));
    }
    if (skip != kLandmarkModelFile) {
        ASSERT_TRUE(writeLandmarkModel(emptyCascade(), dir + "/" + kLandmarkModelFile));
    }
    if (skip != kFivePointModelFile) {
        ASSERT_TRUE(write_model_file(fivePointNetwork(), dir + "/" + kFivePointModelFile));
    }
    if (skip != kNinetyFivePointModelFile) {
        ASSERT_TRUE(write_model_file(ninetyFivePointNetwork(), dir + "/" + kNinetyFivePointModelFile));
    }
}

// Black colour frame with bright 16 x 16 cells (column, row of the cell).
inline cv::Mat frameWithFaces(int width, int height, const std::vector<cv::Point>& cells, int level = 255) {
    cv::Mat frame(height, width, CV_8UC3, cv::Scalar::all(0));
    for (const cv::Point& c : cells) {
        frame(cv::Rect(16 * c.x, 16 * c.y, 16, 16)).setTo(cv::Scalar::all(level));
    }
    return frame;
}

inline std::string captureStdout(const std::function<void()>& run) {
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
}

}  // namespace kx::test
