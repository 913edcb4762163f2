#pragma once
// The regression cascade that refines a 95-point shape, and its reader.
//
// File layout (little-endian, every field 4 bytes, no magic):
//   int32 stage_count, int32 landmark_num_,
//   landmark_num_ x (float x, float y)          mean shape
//   stage_count x stage:
//     int32 tree_count, tree_count x tree:
//       int32 node_count (low byte), int32 leaf_count (low byte), int32 depth,
//       node_count x node: float ax, float ay, int32 landmark_a (low byte),
//                          float bx, float by, int32 landmark_b (low byte),
//                          float threshold, int32 flag,
//                          int32 left (low byte), int32 right (low byte),
//                          int32 leaf
//     int32 leaf_rows, int32 stage_value, int32 L,
//     leaf_rows x 2L floats                     increment table, row-major
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace kx {

// One node of a regression tree. An inner node compares the pixel difference
// of two feature points, each an offset from a shape point in box-normalised
// units; a leaf (leaf >= 0) names its row within the tree's share of the
// stage's increment table.
struct TreeNode {
    float offset_a_x = 0.0f;
    float offset_a_y = 0.0f;
    float offset_b_x = 0.0f;
    float offset_b_y = 0.0f;
    float threshold = 0.0f;
    int32_t leaf = -1;
    uint8_t landmark_a = 255;
    uint8_t landmark_b = 255;
    uint8_t left = 255;
    uint8_t right = 255;
};

struct RegressionTree {
    std::vector<TreeNode> nodes;  // node 0 is the root
    uint8_t leaf_count = 0;       // the tree's share of the stage's leaf rows
};

struct RegressionStage {
    std::vector<RegressionTree> trees;
    int32_t leaf_rows = 0;
    int32_t landmark_count = 0;    // L: table width in points
    std::vector<float> increments; // leaf_rows x 2L, row r = (dx0, dy0, dx1, dy1, ...)
};

// Every stage's L is at most this many points (the per-stage accumulator is
// a fixed buffer of twice as many floats).
constexpr int kMaxStagePoints = 100;

class LandmarkModel {
public:
    // Reads the model at path. Reports on standard output; a missing, short
    // or inconsistent file is reported in one line and leaves the model empty
    // (no stages, so the cascade changes nothing). Returns whether it loaded.
    bool load(const std::string& path);

    // The same reader over bytes already in memory, without the opening and
    // closing messages; false leaves the model empty and sets error.
    bool parse(const char* data, size_t size, std::string& error);

    // Back to the state of a fresh model.
    void clear();

    cv::Mat mean_shape;  // landmark_num_ x 2 floats, box-normalised
    int32_t stage_count = 0;
    int32_t landmark_num_ = 0;
    std::vector<RegressionStage> stages;
};

}  // namespace kx
