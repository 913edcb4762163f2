#include "align/shape_regression.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "net/thread_pool.h"

namespace kx {

namespace {

// A 64-point model covers these runs of the 95 rows, in this order.
struct RowRun {
    int first;  // first row of the 95-point shape
    int count;
};
constexpr RowRun kRuns64[] = {{19, 44}, {75, 20}};

constexpr int kMaxStages = 4;

// Trees walked by one task.
constexpr size_t kTreeBatch = 32;
// Vote columns summed by one task on several threads: two cache lines.
constexpr size_t kVoteBlock = 32;
// How many trees ahead of the one being summed its row is fetched: the
// table is far larger than the caches, and rows fetched ahead load side by
// side instead of one after another.
constexpr size_t kFetchAhead = 8;

// u = x / (w/2) - cx / (w/2), v likewise, in single precision.
void project_points(const float* shape, int n, const ShapeBox& box, float* out) {
    const float hw = box.width / 2.0f;
    const float hh = box.height / 2.0f;
    const float cu = box.centre_x / hw;
    const float cv = box.centre_y / hh;
    for (int i = 0; i < n; ++i) {
        out[2 * i] = shape[2 * i] / hw - cu;
        out[2 * i + 1] = shape[2 * i + 1] / hh - cv;
    }
}

void reproject_points(const float* shape, int n, const ShapeBox& box, float* out) {
    const float hw = box.width / 2.0f;
    const float hh = box.height / 2.0f;
    for (int i = 0; i < n; ++i) {
        out[2 * i] = shape[2 * i] * hw + box.centre_x;
        out[2 * i + 1] = shape[2 * i + 1] * hh + box.centre_y;
    }
}

// Size of a centred shape: the square root of the norm of its scrambled
// covariance taken with the two coordinate columns as the samples, that is
// D^T D with D the columns less their per-row mean.
double shape_spread(const float* t, int n) {
    double c00 = 0.0, c01 = 0.0, c11 = 0.0;
    for (int i = 0; i < n; ++i) {
        const double x = t[2 * i], y = t[2 * i + 1];
        const double m = (x + y) * 0.5;
        c00 += (x - m) * (x - m);
        c01 += (x - m) * (y - m);
        c11 += (y - m) * (y - m);
    }
    return std::sqrt(std::sqrt(c00 * c00 + 2.0 * c01 * c01 + c11 * c11));
}

void centre_points(const float* p, int n, float* out) {
    double sx = 0.0, sy = 0.0;
    for (int i = 0; i < n; ++i) {
        sx += p[2 * i];
        sy += p[2 * i + 1];
    }
    const float cx = static_cast<float>(sx / n), cy = static_cast<float>(sy / n);
    for (int i = 0; i < n; ++i) {
        out[2 * i] = p[2 * i] - cx;
        out[2 * i + 1] = p[2 * i + 1] - cy;
    }
}

bool similarity_of(const float* a, const float* b, int n, cv::Matx22f& rotation, float& scale) {
    if (n <= 0 || n > kMaxStagePoints) return false;
    float ta[2 * kMaxStagePoints];
    float tb[2 * kMaxStagePoints];
    centre_points(a, n, ta);
    centre_points(b, n, tb);
    const float sa = static_cast<float>(shape_spread(ta, n));
    const float sb = static_cast<float>(shape_spread(tb, n));
    if (!(sa > 0.0f) || !(sb > 0.0f) || !std::isfinite(sa) || !std::isfinite(sb)) return false;
    const float s = sa / sb;
    double num = 0.0, den = 0.0;
    for (int i = 0; i < n; ++i) {
        const float ax = ta[2 * i] / sa, ay = ta[2 * i + 1] / sa;
        const float bx = tb[2 * i] / sb, by = tb[2 * i + 1] / sb;
        num += static_cast<double>(ay) * bx - static_cast<double>(ax) * by;
        den += static_cast<double>(ax) * bx + static_cast<double>(ay) * by;
    }
    const double len = std::sqrt(num * num + den * den);
    if (!(len > 0.0) || !std::isfinite(len) || !std::isfinite(s)) return false;
    const float c = static_cast<float>(den / len);
    const float sn = static_cast<float>(num / len);
    rotation = cv::Matx22f(c, -sn, sn, c);
    scale = s;
    return true;
}

// Clamps a feature coordinate into [0, limit - 1]; equal to truncating
// toward zero and then clamping, and safe for values beyond int range.
inline int clamp_coordinate(float v, int limit) {
    if (!(v >= 0.0f)) return 0;
    if (v >= static_cast<float>(limit)) return limit - 1;
    const int i = static_cast<int>(v);
    return i < limit ? i : limit - 1;
}

// Pixel-difference walk of one tree. Returns the leaf index reached, or -1
// when the tree is malformed (a hand-built model the reader did not check).
int walk_tree(const RegressionTree& tree, const float* shape, int points, float rx, float ry,
              const cv::Matx22f& r, const cv::Mat& frame) {
    const TreeNode* nodes = tree.nodes.data();
    const size_t n = tree.nodes.size();
    if (n == 0) return -1;
    const uint8_t* pixels = frame.data;
    const size_t step = frame.step;
    const int cols = frame.cols, rows = frame.rows;
    const float r00 = r(0, 0), r01 = r(0, 1), r10 = r(1, 0), r11 = r(1, 1);
    size_t index = 0;
    // Children may lie before or after their parent; a walk that has taken
    // as many steps as the tree has nodes has come back to a node, and
    // would never end.
    for (size_t steps = 0; steps < n; ++steps) {
        const TreeNode& node = nodes[index];
        if (node.landmark_a >= points || node.landmark_b >= points) return -1;
        const float* pa = shape + 2 * node.landmark_a;
        const float* pb = shape + 2 * node.landmark_b;
        const int ax = clamp_coordinate(pa[0] + rx * (r00 * node.offset_a_x + r01 * node.offset_a_y), cols);
        const int ay = clamp_coordinate(pa[1] + ry * (r10 * node.offset_a_x + r11 * node.offset_a_y), rows);
        const int bx = clamp_coordinate(pb[0] + rx * (r00 * node.offset_b_x + r01 * node.offset_b_y), cols);
        const int by = clamp_coordinate(pb[1] + ry * (r10 * node.offset_b_x + r11 * node.offset_b_y), rows);
        const int diff = static_cast<int>(pixels[ay * step + ax]) - static_cast<int>(pixels[by * step + bx]);
        const size_t next = node.threshold > static_cast<float>(diff) ? node.left : node.right;
        if (next >= n) return -1;
        if (next != 0 && nodes[next].leaf >= 0) return nodes[next].leaf;
        index = next;
    }
    return -1;
}

// acc += votes over n floats. Kept apart so that it is vectorised on its
// own rather than fused with its caller's loop over rows.
__attribute__((noinline)) void add_votes(float* __restrict acc, const float* __restrict votes,
                                         size_t n) {
    for (size_t j = 0; j < n; ++j) acc[j] += votes[j];
}

// One stage on a working shape of n points in frame pixels. projected
// receives the shape in normalised units; increment the stage's vote.
// The trees are walked first (each walk stands alone), then their rows
// summed in tree order; on several threads the walks are split by trees and
// the sums by columns, so every value is summed in the same order and the
// bits do not depend on the threads.
bool run_stage(const RegressionStage& stage, const float* mean, const cv::Mat& frame,
               const float* shape, int n, const ShapeBox& box, float* projected, float* increment,
               ThreadPool* pool) {
    if (stage.landmark_count != n || n > kMaxStagePoints) return false;
    const size_t width = 2 * static_cast<size_t>(n);
    if (stage.leaf_rows < 0 || stage.increments.size() < static_cast<size_t>(stage.leaf_rows) * width) {
        return false;
    }

    project_points(shape, n, box, projected);
    cv::Matx22f r;
    float s = 0.0f;
    if (!similarity_of(projected, mean, n, r, s)) return false;
    const float rx = static_cast<float>(box.width * 0.5 * s);
    const float ry = static_cast<float>(box.height * 0.5 * s);

    // Per tree, its first row in the stage's table, then the row it reaches
    // (-1: none). Kept per calling thread and only grown.
    thread_local std::vector<int64_t> rows;
    const size_t trees = stage.trees.size();
    rows.resize(trees);
    int64_t leaf_offset = 0;
    for (size_t t = 0; t < trees; ++t) {
        rows[t] = leaf_offset;
        leaf_offset += stage.trees[t].leaf_count;
    }
    int64_t* reached = rows.data();
    parallel_for(pool, static_cast<int>((trees + kTreeBatch - 1) / kTreeBatch), [&](int task, int) {
        const size_t last = std::min(trees, (static_cast<size_t>(task) + 1) * kTreeBatch);
        for (size_t t = static_cast<size_t>(task) * kTreeBatch; t < last; ++t) {
            const int leaf = walk_tree(stage.trees[t], shape, n, rx, ry, r, frame);
            const int64_t row = leaf + reached[t];
            reached[t] = leaf < 0 || row >= stage.leaf_rows ? -1 : row;
        }
    });

    alignas(64) float acc[2 * kMaxStagePoints] = {};
    const size_t block = slot_count(pool) > 1 ? kVoteBlock : width;
    parallel_for(pool, static_cast<int>((width + block - 1) / block), [&](int task, int) {
        const size_t begin = static_cast<size_t>(task) * block;
        const size_t count = std::min(block, width - begin);
        const float* table = stage.increments.data() + begin;
        for (size_t t = 0; t < trees; ++t) {
            if (t + kFetchAhead < trees && reached[t + kFetchAhead] >= 0) {
                const float* row = table + static_cast<size_t>(reached[t + kFetchAhead]) * width;
                const char* ahead = reinterpret_cast<const char*>(row);
                for (size_t b = 0; b < count * sizeof(float); b += 64) __builtin_prefetch(ahead + b);
            }
            if (reached[t] >= 0) add_votes(acc + begin, table + static_cast<size_t>(reached[t]) * width, count);
        }
    });

    // (s D) times R transposed.
    for (int i = 0; i < n; ++i) {
        const float dx = s * acc[2 * i], dy = s * acc[2 * i + 1];
        increment[2 * i] = dx * r(0, 0) + dy * r(0, 1);
        increment[2 * i + 1] = dx * r(1, 0) + dy * r(1, 1);
    }
    return true;
}

bool is_points(const cv::Mat& m, int rows) {
    return m.rows == rows && m.cols == 2 && m.type() == CV_32FC1 && m.isContinuous();
}

bool box_usable(const ShapeBox& box) {
    return box.width != 0.0f && box.height != 0.0f && std::isfinite(box.width) &&
           std::isfinite(box.height) && std::isfinite(box.centre_x) && std::isfinite(box.centre_y);
}

}  // namespace

cv::Mat projectShape(const cv::Mat& shape, const ShapeBox& box) {
    if (shape.cols != 2 || shape.type() != CV_32FC1) return cv::Mat();
    cv::Mat src = shape.isContinuous() ? shape : shape.clone();
    cv::Mat out(shape.rows, 2, CV_32FC1);
    project_points(src.ptr<float>(), shape.rows, box, out.ptr<float>());
    return out;
}

cv::Mat reprojectShape(const cv::Mat& shape, const ShapeBox& box) {
    if (shape.cols != 2 || shape.type() != CV_32FC1) return cv::Mat();
    cv::Mat src = shape.isContinuous() ? shape : shape.clone();
    cv::Mat out(shape.rows, 2, CV_32FC1);
    reproject_points(src.ptr<float>(), shape.rows, box, out.ptr<float>());
    return out;
}

bool similarityTransform(const cv::Mat& a, const cv::Mat& b, cv::Matx22f& rotation, float& scale) {
    if (a.rows != b.rows || !is_points(a, a.rows) || !is_points(b, b.rows)) return false;
    return similarity_of(a.ptr<float>(), b.ptr<float>(), a.rows, rotation, scale);
}

bool predictStage(const RegressionStage& stage, const LandmarkModel& model, const cv::Mat& frame,
                  const cv::Mat& shape, const ShapeBox& box, cv::Mat& increment) {
    const int n = stage.landmark_count;
    if (frame.empty() || frame.type() != CV_8UC1 || !box_usable(box) || n <= 0 ||
        n > kMaxStagePoints || !is_points(shape, n) || !is_points(model.mean_shape, n)) {
        return false;
    }
    float projected[2 * kMaxStagePoints];
    cv::Mat result(n, 2, CV_32FC1);
    if (!run_stage(stage, model.mean_shape.ptr<float>(), frame, shape.ptr<float>(), n, box,
                   projected, result.ptr<float>(), nullptr)) {
        return false;
    }
    increment = result;
    return true;
}

int predictShape(const LandmarkModel& model, const cv::Mat& frame, cv::Mat& shape,
                 const ShapeBox& box, ThreadPool* threads) {
    if (frame.empty() || frame.type() != CV_8UC1 || shape.rows != 95 || shape.cols != 2 ||
        shape.type() != CV_32FC1 || !box_usable(box)) {
        return -1;
    }
    const int stages = std::min<int>(std::min<int>(model.stage_count, kMaxStages),
                                     static_cast<int>(model.stages.size()));
    if (stages <= 0) return 0;
    const int n = model.landmark_num_;
    if ((n != 95 && n != 64) || !is_points(model.mean_shape, n)) return -1;

    // Working shape: all 95 rows, or the runs a 64-point model covers.
    float work[2 * kMaxStagePoints];
    int filled = 0;
    if (n == 95) {
        for (int i = 0; i < 95; ++i, ++filled) {
            work[2 * filled] = shape.at<float>(i, 0);
            work[2 * filled + 1] = shape.at<float>(i, 1);
        }
    } else {
        for (const RowRun& run : kRuns64) {
            for (int i = run.first; i < run.first + run.count; ++i, ++filled) {
                work[2 * filled] = shape.at<float>(i, 0);
                work[2 * filled + 1] = shape.at<float>(i, 1);
            }
        }
    }

    const float* mean = model.mean_shape.ptr<float>();
    float projected[2 * kMaxStagePoints];
    float increment[2 * kMaxStagePoints];
    for (int k = 0; k < stages; ++k) {
        if (!run_stage(model.stages[static_cast<size_t>(k)], mean, frame, work, n, box, projected,
                       increment, threads)) {
            return -1;
        }
        for (int j = 0; j < 2 * n; ++j) projected[j] += increment[j];
        reproject_points(projected, n, box, work);
    }

    filled = 0;
    if (n == 95) {
        for (int i = 0; i < 95; ++i, ++filled) {
            shape.at<float>(i, 0) = work[2 * filled];
            shape.at<float>(i, 1) = work[2 * filled + 1];
        }
    } else {
        for (const RowRun& run : kRuns64) {
            for (int i = run.first; i < run.first + run.count; ++i, ++filled) {
                shape.at<float>(i, 0) = work[2 * filled];
                shape.at<float>(i, 1) = work[2 * filled + 1];
            }
        }
    }
    return 0;
}

}  // namespace kx
