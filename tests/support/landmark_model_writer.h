#pragma once
// Writer of regression-cascade model files for tests. It writes exactly what
// it is told, so tests can also build damaged files (counts that disagree
// with the records, impossible indices).
#include <string>
#include <vector>

namespace kx::test {

struct NodeSpec {
    float ax = 0.0f, ay = 0.0f;
    int landmark_a = 0;
    float bx = 0.0f, by = 0.0f;
    int landmark_b = 0;
    float threshold = 0.0f;
    int flag = 0;
    int left = 255;
    int right = 255;
    int leaf = -1;
};

// A split node comparing pixel (a + offset a) with pixel (b + offset b).
NodeSpec split(int landmark_a, float ax, float ay, int landmark_b, float bx, float by,
               float threshold, int left, int right);
// A leaf naming row `leaf` of its tree's share of the stage table.
NodeSpec leaf(int index);

struct TreeSpec {
    std::vector<NodeSpec> nodes;
    int leaf_count = 0;
    int depth = 0;
    int node_count = -1;  // -1: the number of node records
};

struct StageSpec {
    std::vector<TreeSpec> trees;
    int landmark_count = 95;
    std::vector<float> increments;  // leaf rows x 2L
    int stage_value = 0;
    int tree_count = -1;  // -1: the number of tree records
    int leaf_rows = -1;   // -1: increments.size() / (2L)
};

struct ModelSpec {
    int landmark_num = 95;
    std::vector<float> mean;  // landmark_num x (x, y)
    std::vector<StageSpec> stages;
    int stage_count = -1;  // -1: the number of stage records
};

std::string serializeLandmarkModel(const ModelSpec& model);
bool writeLandmarkModel(const ModelSpec& model, const std::string& path);

}  // namespace kx::test
