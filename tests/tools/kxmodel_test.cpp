// Runs the built kxmodel binary on network files written with the model
// writer and checks what it prints and how it exits.
#ifdef KXMODEL_PATH

#include <gtest/gtest.h>

#include <cstdio>

#include "detect/synthetic_detector_model.h"
#include "stdcnn_writer.h"
#include "tool_run.h"

namespace kx {
namespace {

namespace fs = std::filesystem;
using test::linesOf;
using test::Outcome;

// The line that starts (after indentation) with `prefix`, or "".
std::string lineWith(const std::string& out, const std::string& prefix) {
    for (const std::string& line : linesOf(out)) {
        const size_t start = line.find_first_not_of(' ');
        if (start != std::string::npos && line.compare(start, prefix.size(), prefix) == 0) return line;
    }
    return "";
}

// The table row of layer `index`, split into words; empty when missing.
std::vector<std::string> layerRow(const std::string& out, int index) {
    for (const std::string& line : linesOf(out)) {
        std::istringstream in(line);
        std::vector<std::string> words;
        for (std::string w; in >> w;) words.push_back(w);
        if (words.size() >= 7 && words[0] == std::to_string(index)) return {words.begin(), words.begin() + 7};
    }
    return {};
}

// The row of layer `index` in profile's table: index, type, median, share,
// then any note.
std::vector<std::string> profileRow(const std::string& out, int index) {
    for (const std::string& line : linesOf(out)) {
        std::istringstream in(line);
        std::vector<std::string> words;
        for (std::string w; in >> w;) words.push_back(w);
        if (words.size() >= 4 && words[0] == std::to_string(index) && words[3].back() == '%') return words;
    }
    return {};
}

class KxModelTool : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::path(::testing::TempDir()) / "kxmodel_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    std::string write(const std::string& name, const std::string& bytes) {
        std::ofstream(dir_ / name, std::ios::binary) << bytes;
        return (dir_ / name).string();
    }
    Outcome kxmodel(const std::string& args) { return test::runTool("exec '" KXMODEL_PATH "' " + args, dir_); }

    fs::path dir_;
};

// Single input 1 x 8 x 6: conv 3x3 to 4 maps, relu, fully connected to 5.
ModelFile smallNetwork() {
    ModelFile m;
    m.channels = 1;
    m.height = 8;
    m.width = 6;
    m.layers = {
        {layer_params({{"type", "conv"}, {"ksize", "3"}, {"map_num", "4"}}), {0}, std::vector<float>(4 * 9 + 4, 0.1f)},
        {layer_params({{"type", "relu"}}), {1}, {}, 0},
        {layer_params({{"type", "fullconnect"}, {"node_num", "5"}}), {2}, std::vector<float>(5 * 96 + 5, -0.01f)},
    };
    m.outputs = {3, 1};
    return m;
}

TEST_F(KxModelTool, InfoDescribesHeaderLayersAndOutputs) {
    const Outcome o = kxmodel("info " + write("small.stdcnn", serialize_model(smallNetwork())));
    ASSERT_EQ(o.exit_code, 0) << o.err;
    EXPECT_EQ(o.err, "");
    EXPECT_NE(lineWith(o.out, "input: 1 x 8 x 6"), "");
    // Unpadded 3x3 conv at stride 1: 6 x 4 per map; 4 maps of 9 taps.
    // Columns: index, type, bottoms, tops, shape, weights, multiply-adds.
    using Row = std::vector<std::string>;
    EXPECT_EQ(layerRow(o.out, 0), (Row{"0", "conv", "0", "1", "4x6x4", "40", std::to_string(4 * 6 * 4 * 9)}));
    Row relu = layerRow(o.out, 1);
    relu.resize(6);
    EXPECT_EQ(relu, (Row{"1", "relu", "1", "2", "4x6x4", "0"}));
    EXPECT_EQ(layerRow(o.out, 2), (Row{"2", "fullconnect", "2", "3", "5x1x1", "485", "480"}));
    EXPECT_NE(o.out.find("ksize=3 map_num=4"), std::string::npos);
    EXPECT_EQ(lineWith(o.out, "output 0:"), "  output 0: blob 3, 5x1x1");
    EXPECT_EQ(lineWith(o.out, "output 1:"), "  output 1: blob 1, 4x6x4");
}

TEST_F(KxModelTool, InfoShowsTheDetectorsProposalAndRoiPoolingLayers) {
    const Outcome o = kxmodel("info --two-input " + write("det.stdcnn", serialize_model(test::makeSyntheticDetectorModel())));
    ASSERT_EQ(o.exit_code, 0) << o.err;
    // Layer 4 reads the score map, the deltas and the information input (blob 1);
    // layer 5 pools the 2 x 2 feature map of a 32 x 32 input into 9 x 9 cells.
    using Row = std::vector<std::string>;
    Row proposal = layerRow(o.out, 4);
    proposal.resize(5);
    EXPECT_EQ(proposal, (Row{"4", "frcnnproposal", "4,5,1", "6", "5x1x1"}));
    Row pooling = layerRow(o.out, 5);
    pooling.resize(5);
    EXPECT_EQ(pooling, (Row{"5", "roipooling", "3,6", "7", "1x9x9"}));
}

TEST_F(KxModelTool, RunChecksumsFollowTheOutputs) {
    // Zero kernels leave only the biases: 2.5 on 5 x 7 = 87.5, and relu(-1.5) = 0.
    ModelFile m;
    m.channels = 1;
    m.height = 5;
    m.width = 7;
    m.layers = {
        {layer_params({{"type", "conv"}, {"ksize", "1"}, {"map_num", "1"}}), {0}, {0.0f, 2.5f}},
        {layer_params({{"type", "conv"}, {"ksize", "1"}, {"map_num", "1"}}), {0}, {0.0f, -1.5f}},
        {layer_params({{"type", "relu"}}), {2}, {}, 0},
    };
    m.outputs = {1, 3};
    Outcome o = kxmodel("run " + write("bias.stdcnn", serialize_model(m)));
    ASSERT_EQ(o.exit_code, 0) << o.err;
    EXPECT_EQ(lineWith(o.out, "output 0:"), "  output 0: blob 1, 1x5x7, sum 87.5, abs sum 87.5");
    EXPECT_EQ(lineWith(o.out, "output 1:"), "  output 1: blob 3, 1x5x7, sum 0, abs sum 0");

    // A two-input file's information input holds height, width and scale 1:
    // 30 + 40 + 1 = 71.
    ModelFile two;
    two.two_inputs = true;
    two.channels = 3;
    two.height = 30;
    two.width = 40;
    two.layers = {{layer_params({{"type", "dropout"}}), {1}, {}, 0}};
    two.outputs = {2};
    o = kxmodel("run --two-input " + write("two.stdcnn", serialize_model(two)));
    ASSERT_EQ(o.exit_code, 0) << o.err;
    EXPECT_EQ(lineWith(o.out, "output 0:"), "  output 0: blob 2, 3x1x1, sum 71, abs sum 71");
}

// The timing report names the runs and the threads; the figures themselves
// are machine-dependent and only checked for their order.
TEST_F(KxModelTool, BenchReportsRunsThreadsAndOrderedFigures) {
    const std::string path = write("small.stdcnn", serialize_model(smallNetwork()));
    for (const char* threads : {"1", "2"}) {
        const Outcome o = kxmodel("bench " + path + " --runs 5 --threads " + threads);
        ASSERT_EQ(o.exit_code, 0) << o.err;
        const std::string plural = std::string(threads) == "1" ? " thread\n" : " threads\n";
        EXPECT_NE(o.out.find("forward passes: 5 timed, after 2 warm-up, on " + std::string(threads) + plural),
                  std::string::npos)
            << o.out;
        double median = 0, lo = 0, hi = 0, q1 = 0, q3 = 0;
        const size_t at = o.out.find("median");
        ASSERT_NE(at, std::string::npos) << o.out;
        ASSERT_EQ(std::sscanf(o.out.c_str() + at, "median %lf ms, min %lf ms, max %lf ms, interquartile range %lf-%lf ms",
                              &median, &lo, &hi, &q1, &q3),
                  5)
            << o.out;
        EXPECT_LE(lo, q1);
        EXPECT_LE(q1, median);
        EXPECT_LE(median, q3);
        EXPECT_LE(q3, hi);
    }
}

// One row per layer in execution order, whose shares add up to the whole,
// and a last line whose sum is the sum of the rows.
TEST_F(KxModelTool, ProfileListsEveryLayerWithItsShare) {
    ModelFile m = smallNetwork();
    m.outputs = {3};  // the convolution's top is read by the rectifier alone
    const std::string path = write("small.stdcnn", serialize_model(m));
    const Outcome o = kxmodel("profile " + path + " --runs 4 --threads 2");
    ASSERT_EQ(o.exit_code, 0) << o.err;
    EXPECT_NE(o.out.find("forward passes: 4 timed layer by layer, after 2 warm-up, on 2 threads\n"), std::string::npos)
        << o.out;
    const char* types[] = {"conv", "relu", "fullconnect"};
    double sum = 0.0, shares = 0.0;
    for (int k = 0; k < 3; ++k) {
        const std::vector<std::string> row = profileRow(o.out, k);
        // The rectifier's pass is done by the convolution before it.
        ASSERT_EQ(row.size(), k == 1 ? 8u : 4u) << o.out;
        if (k == 1) {
            EXPECT_EQ(row[7], "0)");
        }
        EXPECT_EQ(row[1], types[k]);
        const double ms = std::stod(row[2]);
        EXPECT_GE(ms, 0.0);
        sum += ms;
        shares += std::stod(row[3]);
    }
    EXPECT_EQ(profileRow(o.out, 3).size(), 0u) << "a fourth layer row";
    EXPECT_NEAR(shares, 100.0, 0.2);
    double total = -1.0, pass = -1.0;
    const size_t at = o.out.find("sum of the layer medians");
    ASSERT_NE(at, std::string::npos) << o.out;
    ASSERT_EQ(std::sscanf(o.out.c_str() + at, "sum of the layer medians %lf ms; median pass %lf ms", &total, &pass), 2);
    EXPECT_NEAR(total, sum, 0.002);
    EXPECT_GT(pass, 0.0);
    EXPECT_EQ(lineWith(o.out, "note:"), "") << "a chain has no towers to run side by side";
}

// Towers that a pass runs side by side cannot be timed so layer by layer:
// on several threads the profile says so, on one there is nothing to say.
TEST_F(KxModelTool, ProfileSaysWhenTowersRunSideBySide) {
    ModelFile m;
    m.channels = 1;
    m.height = 8;
    m.width = 6;
    const std::string conv = layer_params({{"type", "conv"}, {"ksize", "3"}, {"map_num", "4"}});
    m.layers = {{conv, {0}, std::vector<float>(4 * 9 + 4, 0.1f)},
                {conv, {0}, std::vector<float>(4 * 9 + 4, -0.1f)},
                {layer_params({{"type", "concat"}, {"concat_dim", "1"}}), {1, 2}, {}, 0}};
    m.outputs = {3};
    const std::string path = write("towers.stdcnn", serialize_model(m));
    const Outcome two = kxmodel("profile " + path + " --runs 2 --threads 2");
    ASSERT_EQ(two.exit_code, 0) << two.err;
    EXPECT_NE(lineWith(two.out, "note: a forward pass runs the network's 1 set of alike towers side by side"), "")
        << two.out;
    const Outcome one = kxmodel("profile " + path + " --runs 2 --threads 1");
    ASSERT_EQ(one.exit_code, 0) << one.err;
    EXPECT_EQ(lineWith(one.out, "note:"), "") << one.out;
}

TEST_F(KxModelTool, BadFilesGiveOneErrorLine) {
    const ModelFile model = smallNetwork();
    const std::string good = serialize_model(model);
    ModelFile wrong_magic = smallNetwork(), unknown_type = smallNetwork();
    wrong_magic.magic = "stdcnm";
    unknown_type.layers[1].params = layer_params({{"type", "swish"}});
    // The last record dropped, the terminator kept: three layers announced, two given.
    const LayerRecord& last = model.layers.back();
    ByteWriter terminator;
    terminator.i32(0);
    const std::string missing_record =
        good.substr(0, good.size() - (4 + last.params.size() + 4 + 4 * last.weights.size() + 4)) + terminator.data();

    const std::string small = write("small.stdcnn", good);
    const std::vector<std::pair<std::string, std::string>> cases = {
        // The information-size field swallows the layer count.
        {"single input read as two", "--two-input '" + small + "'"},
        {"missing", (dir_ / "no_such_file.stdcnn").string()},
        {"directory", dir_.string()},
        {"empty", write("empty.stdcnn", "")},
        {"wrong magic", write("magic.stdcnn", serialize_model(wrong_magic))},
        {"header only", write("header.stdcnn", good.substr(0, 30))},
        {"cut in the weights", write("cut.stdcnn", good.substr(0, good.size() - 100))},
        {"unknown layer type", write("unknown.stdcnn", serialize_model(unknown_type))},
        {"fewer records than declared", write("few.stdcnn", missing_record)},
    };
    for (const auto& [name, path] : cases) {
        for (const char* command : {"info", "run", "bench"}) {
            SCOPED_TRACE(name + ", " + command);
            const bool has_options = path[0] == '-';
            const Outcome o = kxmodel(std::string(command) + " " + (has_options ? path : "'" + path + "'"));
            EXPECT_EQ(o.exit_code, 1);
            const std::vector<std::string> lines = linesOf(o.err);
            ASSERT_EQ(lines.size(), 1u) << o.err;
            EXPECT_EQ(lines[0].rfind("kxmodel: ", 0), 0u);
            EXPECT_NE(lines[0].find(has_options ? small : path), std::string::npos);
        }
    }
}

TEST_F(KxModelTool, HelpAndUsageErrors) {
    const Outcome help = kxmodel("--help");
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_EQ(help.err, "");
    for (const char* word : {"info", "run", "bench", "profile", "--two-input", "--runs", "--threads"}) {
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
    }
    const std::string path = write("small.stdcnn", serialize_model(smallNetwork()));
    for (const std::string& args :
         {std::string(), "show " + path, std::string("info"), "info " + path + " --fast", "bench " + path + " --runs 0",
          "bench " + path + " --runs", "run " + path + " --runs 3", "info " + path + " " + path,
          "bench " + path + " --threads 0", "bench " + path + " --threads", "run " + path + " --threads 2",
          "profile " + path + " --runs 0", "info " + path + " --runs 2"}) {
        SCOPED_TRACE(args);
        const Outcome o = kxmodel(args);
        EXPECT_EQ(o.exit_code, 2);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(linesOf(o.err).size(), 1u) << o.err;
    }
}

}  // namespace
}  // namespace kx

#endif  // KXMODEL_PATH
