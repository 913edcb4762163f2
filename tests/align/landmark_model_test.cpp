#include "align/landmark_model.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "align/shape_regression.h"
#include "support/landmark_model_writer.h"

namespace kx {
namespace {

// Two stages of 95 points: two trees over a four-row table, then one tree
// over two rows. Every tree is one split with two leaves. Fields that count
// as one byte are written with higher bits set, which the reader drops.
test::ModelSpec valid_model() {
    test::ModelSpec m;
    m.mean.assign(190, 0.25f);
    const test::NodeSpec root = test::split(3 + 256, 0.125f, -0.25f, 7, -0.5f, 0.75f, 12.5f, 1 + 0x7F00, 2);
    for (const int trees : {2, 1}) {
        const test::TreeSpec tree{{root, test::leaf(0), test::leaf(1)}, 2 + 512, 1, 3 + 256};
        m.stages.push_back({std::vector<test::TreeSpec>(size_t(trees), tree), 95, {}});
        m.stages.back().increments.assign(size_t(2 * trees * 190), 0.001f);
    }
    return m;
}

bool parses(LandmarkModel& model, std::string_view bytes) {
    std::string error;
    const bool ok = model.parse(bytes.data(), bytes.size(), error);
    EXPECT_EQ(error.empty(), ok);
    EXPECT_EQ(model.stages.empty() && model.mean_shape.empty() && model.landmark_num_ == 0, !ok);
    return ok;
}

// The cascade tests run on what this reader gives; here the messages and
// the one-byte fields.
TEST(LandmarkModelLoad, ReportsItsProgressAndKeepsTheLowByteOfSmallFields) {
    const std::string path = std::filesystem::temp_directory_path() / ("kx_cascade_" + std::to_string(getpid()));
    ASSERT_TRUE(test::writeLandmarkModel(valid_model(), path));
    LandmarkModel model;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(model.load(path));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Loading model...\nfirst level num read and landmark_num_: 2 95\nModel loaded successfully...\n");
    std::remove(path.c_str());
    const RegressionTree& tree = model.stages.at(0).trees.at(1);
    EXPECT_EQ(std::vector<int>({int(tree.nodes.size()), tree.leaf_count, tree.nodes[0].landmark_a, tree.nodes[0].left}),
              std::vector<int>({3, 2, 3, 1}));

    testing::internal::CaptureStdout();
    EXPECT_FALSE(model.load("/nonexistent/m.bin"));
    const std::string said = testing::internal::GetCapturedStdout();
    EXPECT_EQ(said.substr(0, said.find(':')), "Loading model...\nfail to load landmark model /nonexistent/m.bin");
    EXPECT_TRUE(model.stages.empty() && model.mean_shape.empty());
}

TEST(LandmarkModelLoad, EveryCutShortFileFails) {
    const std::string bytes = test::serializeLandmarkModel(valid_model());
    for (size_t size = 0; size < bytes.size(); ++size) {
        // A copy of exactly `size` bytes, so that the address sanitizer sees
        // a read past it.
        const std::vector<char> prefix(bytes.begin(), bytes.begin() + long(size));
        LandmarkModel model;
        ASSERT_FALSE(parses(model, std::string_view(prefix.data(), size))) << "prefix of " << size << " bytes";
    }
}

TEST(LandmarkModelLoad, ImpossibleCountsAreRefused) {
    const std::string good = test::serializeLandmarkModel(valid_model());
    // Byte offsets: the counts, the mean shape, then stage 0's tree count,
    // its first tree's header and nodes (44 bytes each) and its table counts.
    const size_t stage0 = 8 + 95 * 8, tree0 = stage0 + 4, node0 = tree0 + 12, table0 = tree0 + 2 * (12 + 3 * 44);
    const struct { const char* why; size_t at; int32_t value; } cases[] = {
        {"landmark count 96", 4, 96},
        {"negative stage count", 0, -1},
        {"huge stage count", 0, 0x7FFFFFFF},
        {"huge tree count", stage0, 0x40000000},
        {"tree without nodes", tree0, 256},
        {"first tree claims three leaf rows: the next tree's leaf 1 is row 4", tree0 + 4, 3},
        {"landmark outside the shape", node0 + 8, 95},
        {"left child outside the tree", node0 + 32, 3},
        {"child pointing back at its parent", node0 + 36, 0},
        {"leaf row outside the table", node0 + 44 + 40, 4},
        {"negative leaf rows", table0, -1},
        {"stage width 100 for 95 points", table0 + 8, 100},
    };
    LandmarkModel model;
    EXPECT_TRUE(parses(model, good));  // the offsets point where they should
    for (const auto& c : cases) {
        std::string bad = good;
        std::memcpy(&bad[c.at], &c.value, 4);
        EXPECT_FALSE(parses(model, bad)) << c.why;
    }
}

// Children may be stored before their parents: what matters is that every
// walk from the root ends at a leaf. Root 0 sends left to split 3, whose
// children 1 and 2 lie before it; right is leaf 4. On a flat frame every
// difference is 0, so a threshold of 1 goes left and -1 goes right.
test::ModelSpec children_first(int split3_threshold_sign, int split3_left = 1) {
    test::ModelSpec m;
    m.mean.assign(190, 0.0f);
    for (int i = 0; i < 95; ++i) m.mean[size_t(2 * i)] = 0.01f * float(i), m.mean[size_t(2 * i + 1)] = 0.02f * float(i % 7);
    const float t = float(split3_threshold_sign);
    const test::TreeSpec tree{{test::split(0, 0, 0, 1, 0, 0, 1.0f, 3, 4), test::leaf(0), test::leaf(1),
                               test::split(2, 0, 0, 5, 0, 0, t, split3_left, 2), test::leaf(2)},
                              3};
    m.stages.push_back({{tree}, 95, {}});
    for (int row = 0; row < 3; ++row) {
        for (int k = 0; k < 190; ++k) m.stages[0].increments.push_back(k == 0 ? 0.1f * float(row + 1) : 0.0f);
    }
    return m;
}

TEST(LandmarkModelLoad, TreesWhoseChildrenComeFirstAreWalkedToTheirLeaves) {
    const cv::Mat frame(100, 100, CV_8UC1, cv::Scalar(100));
    const ShapeBox box{20, 20, 60, 60, 50, 50};
    for (const int sign : {1, -1}) {
        LandmarkModel model;
        ASSERT_TRUE(parses(model, test::serializeLandmarkModel(children_first(sign))));
        cv::Mat shape = reprojectShape(model.mean_shape, box), increment;
        ASSERT_TRUE(predictStage(model.stages[0], model, frame, shape, box, increment));
        // Left from split 3 reaches leaf 0 (row 0), right leaf 1 (row 1).
        EXPECT_FLOAT_EQ(increment.at<float>(0, 0), sign > 0 ? 0.1f : 0.2f);
    }
    // A walk that comes back to a node never ends: refused, whether the
    // cycle passes through the root or not.
    LandmarkModel model;
    EXPECT_FALSE(parses(model, test::serializeLandmarkModel(children_first(1, 0))));
    test::ModelSpec loop = children_first(1);
    loop.stages[0].trees[0].nodes[3] = test::split(2, 0, 0, 5, 0, 0, 1.0f, 3, 2);  // split 3 onto itself
    EXPECT_FALSE(parses(model, test::serializeLandmarkModel(loop)));
    // A hand-built cascade the reader never saw: the walk gives up instead
    // of running forever, and the stage votes nothing.
    ASSERT_TRUE(parses(model, test::serializeLandmarkModel(children_first(1))));
    model.stages[0].trees[0].nodes[3].left = 0;
    const ShapeBox box2{20, 20, 60, 60, 50, 50};
    cv::Mat shape = reprojectShape(model.mean_shape, box2), increment;
    ASSERT_TRUE(predictStage(model.stages[0], model, frame, shape, box2, increment));
    EXPECT_EQ(cv::countNonZero(increment), 0);
}

// A stage with no tree and no table row is valid (it votes nothing); its
// empty table must not be copied from a null pointer.
TEST(LandmarkModelLoad, StageWithoutRowsLoads) {
    test::ModelSpec m;
    m.mean.assign(190, 0.5f);
    m.stages.push_back({{}, 95, {}});
    LandmarkModel model;
    ASSERT_TRUE(parses(model, test::serializeLandmarkModel(m)));
    EXPECT_EQ(model.stages.size(), 1u);
    EXPECT_TRUE(model.stages[0].increments.empty());
}

}  // namespace
}  // namespace kx
