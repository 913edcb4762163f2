#include "support/landmark_model_writer.h"

#include <fstream>

#include "stdcnn_writer.h"

namespace kx::test {

NodeSpec split(int landmark_a, float ax, float ay, int landmark_b, float bx, float by,
               float threshold, int left, int right) {
    NodeSpec n;
    n.landmark_a = landmark_a;
    n.ax = ax;
    n.ay = ay;
    n.landmark_b = landmark_b;
    n.bx = bx;
    n.by = by;
    n.threshold = threshold;
    n.left = left;
    n.right = right;
    return n;
}

NodeSpec leaf(int index) {
    NodeSpec n;
    n.leaf = index;
    return n;
}

std::string serializeLandmarkModel(const ModelSpec& model) {
    ByteWriter w;
    w.i32(model.stage_count >= 0 ? model.stage_count : int(model.stages.size()));
    w.i32(model.landmark_num);
    w.floats(model.mean);
    for (const StageSpec& stage : model.stages) {
        w.i32(stage.tree_count >= 0 ? stage.tree_count : int(stage.trees.size()));
        for (const TreeSpec& tree : stage.trees) {
            w.i32(tree.node_count >= 0 ? tree.node_count : int(tree.nodes.size()));
            w.i32(tree.leaf_count);
            w.i32(tree.depth);
            for (const NodeSpec& n : tree.nodes) {
                w.f32(n.ax);
                w.f32(n.ay);
                w.i32(n.landmark_a);
                w.f32(n.bx);
                w.f32(n.by);
                w.i32(n.landmark_b);
                w.f32(n.threshold);
                w.i32(n.flag);
                w.i32(n.left);
                w.i32(n.right);
                w.i32(n.leaf);
            }
        }
        const int width = 2 * stage.landmark_count;
        const int rows = stage.leaf_rows >= 0 ? stage.leaf_rows
                                              : (width > 0 ? int(stage.increments.size()) / width : 0);
        w.i32(rows);
        w.i32(stage.stage_value);
        w.i32(stage.landmark_count);
        w.floats(stage.increments);
    }
    return w.data();
}

bool writeLandmarkModel(const ModelSpec& model, const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    const std::string bytes = serializeLandmarkModel(model);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    return bool(out);
}

}  // namespace kx::test
