#include "align/landmark_model.h"

#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "net/console.h"

namespace kx {

namespace {

constexpr size_t kNodeBytes = 44;
constexpr size_t kTreeHeaderBytes = 12;
constexpr size_t kStageMinBytes = 16;  // tree_count + the three table counts

// Reads little-endian 4-byte fields from memory and never past its end.
class FieldReader {
public:
    FieldReader(const char* data, size_t size) : data_(data), size_(size) {}

    size_t remaining() const { return size_ - pos_; }

    bool i32(int32_t& v) { return take(&v); }
    bool f32(float& v) { return take(&v); }
    bool low_byte(uint8_t& v) {
        int32_t raw = 0;
        if (!take(&raw)) return false;
        v = static_cast<uint8_t>(raw & 0xFF);
        return true;
    }
    bool floats(float* out, size_t n) {
        if (n > remaining() / 4) return false;
        if (n == 0) return true;  // out may then be null
        std::memcpy(out, data_ + pos_, n * 4);
        pos_ += n * 4;
        return true;
    }

private:
    template <class T>
    bool take(T* v) {
        static_assert(sizeof(T) == 4, "every field is 4 bytes");
        if (remaining() < 4) return false;
        std::memcpy(v, data_ + pos_, 4);
        pos_ += 4;
        return true;
    }

    const char* data_;
    size_t size_;
    size_t pos_ = 0;
};

bool read_node(FieldReader& in, TreeNode& node) {
    int32_t flag = 0;
    return in.f32(node.offset_a_x) && in.f32(node.offset_a_y) && in.low_byte(node.landmark_a) &&
           in.f32(node.offset_b_x) && in.f32(node.offset_b_y) && in.low_byte(node.landmark_b) &&
           in.f32(node.threshold) && in.i32(flag) && in.low_byte(node.left) &&
           in.low_byte(node.right) && in.i32(node.leaf);
}

bool read_tree(FieldReader& in, RegressionTree& tree, std::string& error) {
    uint8_t node_count = 0;
    int32_t depth = 0;
    if (!in.low_byte(node_count) || !in.low_byte(tree.leaf_count) || !in.i32(depth)) {
        error = "file ends early";
        return false;
    }
    if (node_count == 0) {
        error = "a tree has no nodes";
        return false;
    }
    if (node_count > in.remaining() / kNodeBytes) {
        error = "file ends early";
        return false;
    }
    tree.nodes.assign(node_count, TreeNode());
    for (TreeNode& node : tree.nodes) {
        if (!read_node(in, node)) {
            error = "file ends early";
            return false;
        }
    }
    return true;
}

// The root and every node without a leaf index are split nodes. Children
// may be stored before or after their parent: what counts is that every
// walk from the root reaches a leaf within the tree, without coming back to
// a node it has passed (a cycle would never end). Every split node on a walk
// must have its children and anchors in range, every leaf on one must name
// a row of the stage table. Nodes no walk reaches are never read.
bool check_tree(const RegressionTree& tree, int64_t leaf_offset, int32_t leaf_rows,
                int32_t landmark_num, std::string& error) {
    const size_t n = tree.nodes.size();
    // Depth-first over split nodes; state 1 = on the current path, 2 = done.
    std::vector<uint8_t> state(n, 0);
    std::vector<std::pair<size_t, int>> path;  // node, children visited so far
    path.emplace_back(0, 0);
    state[0] = 1;
    while (!path.empty()) {
        const size_t i = path.back().first;
        const TreeNode& node = tree.nodes[i];
        if (path.back().second == 0) {
            if (node.left >= n || node.right >= n) {
                error = "child index outside its tree";
                return false;
            }
            if (node.landmark_a >= landmark_num || node.landmark_b >= landmark_num) {
                error = "landmark index outside the shape";
                return false;
            }
        }
        if (path.back().second == 2) {
            state[i] = 2;
            path.pop_back();
            continue;
        }
        const size_t child = path.back().second == 0 ? node.left : node.right;
        ++path.back().second;
        const TreeNode& next = tree.nodes[child];
        if (next.leaf >= 0 && child != 0) {
            if (leaf_offset + next.leaf >= leaf_rows) {
                error = "leaf row outside the stage table";
                return false;
            }
            continue;
        }
        if (state[child] == 1) {
            error = "a tree walk comes back to a node it passed";
            return false;
        }
        if (state[child] == 0) {
            state[child] = 1;
            path.emplace_back(child, 0);
        }
    }
    return true;
}

bool read_stage(FieldReader& in, int32_t landmark_num, RegressionStage& stage, std::string& error) {
    int32_t tree_count = 0;
    if (!in.i32(tree_count)) {
        error = "file ends early";
        return false;
    }
    if (tree_count < 0) {
        error = "negative tree count";
        return false;
    }
    if (static_cast<size_t>(tree_count) > in.remaining() / kTreeHeaderBytes) {
        error = "file ends early";
        return false;
    }
    stage.trees.resize(static_cast<size_t>(tree_count));
    for (RegressionTree& tree : stage.trees) {
        if (!read_tree(in, tree, error)) return false;
    }

    int32_t stage_value = 0;
    if (!in.i32(stage.leaf_rows) || !in.i32(stage_value) || !in.i32(stage.landmark_count)) {
        error = "file ends early";
        return false;
    }
    if (stage.leaf_rows < 0) {
        error = "negative leaf row count";
        return false;
    }
    if (stage.landmark_count != landmark_num || stage.landmark_count > kMaxStagePoints) {
        error = "stage width " + std::to_string(stage.landmark_count) + " does not match " +
                std::to_string(landmark_num) + " points";
        return false;
    }
    const size_t width = 2 * static_cast<size_t>(stage.landmark_count);
    if (static_cast<size_t>(stage.leaf_rows) > in.remaining() / 4 / width) {
        error = "file ends early";
        return false;
    }
    stage.increments.resize(static_cast<size_t>(stage.leaf_rows) * width);
    if (!in.floats(stage.increments.data(), stage.increments.size())) {
        error = "file ends early";
        return false;
    }

    int64_t leaf_offset = 0;
    for (const RegressionTree& tree : stage.trees) {
        if (!check_tree(tree, leaf_offset, stage.leaf_rows, landmark_num, error)) return false;
        leaf_offset += tree.leaf_count;
    }
    return true;
}

bool read_file(const std::string& path, std::string& bytes) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    char chunk[1 << 16];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof(chunk), file)) > 0) bytes.append(chunk, got);
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

}  // namespace

void LandmarkModel::clear() {
    mean_shape = cv::Mat();
    stage_count = 0;
    landmark_num_ = 0;
    stages.clear();
}

bool LandmarkModel::parse(const char* data, size_t size, std::string& error) {
    clear();
    FieldReader in(data, size);
    LandmarkModel model;
    if (!in.i32(model.stage_count) || !in.i32(model.landmark_num_)) {
        error = "file ends early";
        return false;
    }
    if (model.landmark_num_ != 95 && model.landmark_num_ != 64) {
        error = "landmark count " + std::to_string(model.landmark_num_) + " is neither 95 nor 64";
        return false;
    }
    if (model.stage_count < 0) {
        error = "negative stage count";
        return false;
    }
    model.mean_shape = cv::Mat::zeros(model.landmark_num_, 2, CV_32FC1);
    if (!in.floats(model.mean_shape.ptr<float>(0), 2 * static_cast<size_t>(model.landmark_num_))) {
        error = "file ends early";
        return false;
    }
    if (static_cast<size_t>(model.stage_count) > in.remaining() / kStageMinBytes) {
        error = "file ends early";
        return false;
    }
    model.stages.resize(static_cast<size_t>(model.stage_count));
    for (RegressionStage& stage : model.stages) {
        if (!read_stage(in, model.landmark_num_, stage, error)) return false;
    }
    *this = std::move(model);
    return true;
}

bool LandmarkModel::load(const std::string& path) {
    say("Loading model...");
    std::string bytes;
    std::string error;
    bool ok = false;
    if (!read_file(path, bytes)) {
        clear();
        error = "cannot open or read the file";
    } else {
        if (bytes.size() >= 8) {
            int32_t counts[2];
            std::memcpy(counts, bytes.data(), 8);
            say("first level num read and landmark_num_: " + std::to_string(counts[0]) + " " +
                std::to_string(counts[1]));
        }
        ok = parse(bytes.data(), bytes.size(), error);
    }
    if (!ok) {
        say("fail to load landmark model " + path + ": " + error);
        return false;
    }
    say("Model loaded successfully...");
    return true;
}

}  // namespace kx
