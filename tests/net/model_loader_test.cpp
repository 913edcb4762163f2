#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "net/net.h"
#include "support/load_helpers.h"

namespace kx {
namespace {

const std::string kGreeting = "Enter into load_model function\n";

// conv 3x3 (2 maps) -> relu -> fullconnect (3 nodes) on a 1 x 4 x 4 image,
// with weights in two layers so that cutting the file anywhere hits every
// kind of field. The relu reads blob 1: the conv's 8 values, or in a
// two-input model the information input (3 values).
ModelFile small_model(bool two_inputs) {
    ModelFile m;
    m.two_inputs = two_inputs;
    m.height = m.width = 4;
    const int conv_top = two_inputs ? 2 : 1, depth = two_inputs ? 3 : 8;
    std::vector<float> conv_weights, fc_weights;
    for (int i = 0; i < 2 * 9 + 2; ++i) conv_weights.push_back(0.1f * float(i) - 0.5f);
    for (int i = 0; i < 3 * depth + 3; ++i) fc_weights.push_back(0.05f * float(i));
    m.layers = {
        {layer_params({{"type", "conv"}, {"ksize", "3"}, {"map_num", "2"}}), {0}, conv_weights},
        {layer_params({{"type", "relu"}}), {1}, {}, 0},
        {layer_params({{"type", "fullconnect"}, {"node_num", "3"}}), {conv_top + 1}, fc_weights},
    };
    m.outputs = {conv_top + 2};
    return m;
}

std::string run_load(Net& net, const std::string& bytes, bool two_inputs, bool& ok) {
    testing::internal::CaptureStdout();
    ok = test::load_bytes(net, bytes, two_inputs);
    return testing::internal::GetCapturedStdout();
}

// Blob ids: the image, the information input of a two-input model, then
// every layer's tops in file order.
TEST(ModelLoader, NumbersBlobsAndFillsWeightsInListOrder) {
    for (bool two : {false, true}) {
        SCOPED_TRACE(two ? "two inputs" : "one input");
        Net net;
        bool ok = false;
        EXPECT_EQ(run_load(net, serialize_model(small_model(two)), two, ok), two ? kGreeting : "");
        ASSERT_TRUE(ok && net.ready);
        const int conv_top = two ? 2 : 1, depth = two ? 3 : 8;
        ASSERT_EQ(net.layers.size(), 3u);
        EXPECT_EQ(net.top_ids[2], std::vector<int>{conv_top + 2});
        EXPECT_EQ(int(net.blobs.size()), conv_top + 3);
        EXPECT_EQ(net.blobs[size_t(conv_top) + 1]->count, depth);  // the relu's top
        ASSERT_EQ(net.layers[0]->weights.size(), 2u);
        EXPECT_FLOAT_EQ(net.layers[0]->weights[0]->data[0], -0.5f);
        EXPECT_FLOAT_EQ(net.layers[0]->weights[1]->data[1], 0.1f * 19 - 0.5f);
        EXPECT_FLOAT_EQ(net.layers[2]->weights[1]->data[2], 0.05f * float(3 * depth + 2));
    }
}

// Only the two-input reader greets and names header failures; the record
// messages come from both.
TEST(ModelLoader, DamagedFilesFailWithTheirMessages) {
    struct Case {
        const char* why;
        std::function<void(ModelFile&)> change;
        std::string said = {};  // after the greeting
        bool two_inputs = false, loads = false;
    };
    const std::vector<Case> cases = {
        {"empty magic", [](ModelFile& m) { m.magic = "", m.magic_length = 0; }, "slen is 0\n", true},
        {"empty magic", [](ModelFile& m) { m.magic = "", m.magic_length = 0; }},
        {"wrong magic", [](ModelFile& m) { m.magic = "stdcnx"; }, "buf is not stdcnn\n", true},
        {"wrong magic", [](ModelFile& m) { m.magic = "stdcnx"; }},
        {"magic ends at a zero byte", [](ModelFile& m) { m.magic = std::string("stdcnn\0", 7); }, "", false, true},
        {"longer magic", [](ModelFile& m) { m.magic = "stdcnnx"; }},
        {"record without type", [](ModelFile& m) { m.layers[1].params = "kind:relu,"; }, "param (1) is 0!\n"},
        {"unknown type", [](ModelFile& m) { m.layers[2].params = "type:bogus,"; }, "layer (2) is NULL!\n", true},
        {"bottom not made yet", [](ModelFile& m) { m.layers[1].bottoms = {7}; }},
        {"negative bottom", [](ModelFile& m) { m.layers[1].bottoms = {-1}; }},
        {"output past the blobs", [](ModelFile& m) { m.outputs = {9}; }},
        {"negative output", [](ModelFile& m) { m.outputs = {-2}; }},
        {"input height 0", [](ModelFile& m) { m.height = 0; }},
        {"information size 0", [](ModelFile& m) { m.info_size = 0; }, "", true},
        {"set-up refused", [](ModelFile& m) { m.layers[0].params = "type:conv,ksize:5,map_num:2,"; }},
        {"more records than declared", [](ModelFile& m) { m.declared_layers = 2; }},
        {"fewer records than declared", [](ModelFile& m) { m.declared_layers = 4; }},
        {"text length 1024", [](ModelFile& m) { m.magic_length = 1024; }},
        {"text length past the file", [](ModelFile& m) { m.magic_length = 5000; }},
        {"negative text length", [](ModelFile& m) { m.magic_length = -3; }},
        {"params past 1023 bytes", [](ModelFile& m) { m.layers[1].params += std::string(1020, 'x') + ":1,"; }},
        {"flag 0 and no weights", [](ModelFile& m) { m.layers[2].weights_flag = 0, m.layers[2].weights = {}; }, "",
         false, true},
        // The weights are then read as the next record's length: -0.5 is a
        // negative one and ends the list two records short.
        {"flag 0 before weights", [](ModelFile& m) { m.layers[0].weights_flag = 0; }},
        {"end of file for terminator", [](ModelFile& m) { m.terminator = false; }, "", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.why) + (c.two_inputs ? ", two inputs" : ", one input"));
        ModelFile m = small_model(c.two_inputs);
        c.change(m);
        Net net;
        bool ok = !c.loads;
        const std::string said = run_load(net, serialize_model(m), c.two_inputs, ok);
        EXPECT_EQ(said, (c.two_inputs ? kGreeting : "") + c.said);
        EXPECT_EQ(ok, c.loads);
        EXPECT_EQ(net.ready, c.loads);
    }

    Net net;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(net.load_model(nullptr));
    EXPECT_FALSE(net.load_model_single_input(nullptr));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kGreeting + "file pointer is null\n");
}

// Every prefix fails cleanly, except the one that lacks just the terminator.
// Any 4-byte word overwritten with an extreme value must neither crash nor
// read out of bounds (the sanitizer build checks that); a file that still
// loads must also run.
TEST(ModelLoader, TruncatedOrCorruptedFilesNeverCrash) {
    for (bool two : {false, true}) {
        const std::string bytes = serialize_model(small_model(two));
        for (size_t length = 0; length < bytes.size(); ++length) {
            Net net;
            bool ok = true;
            run_load(net, bytes.substr(0, length), two, ok);
            EXPECT_EQ(ok, length == bytes.size() - 4) << "prefix " << length << " two-input " << two;
            EXPECT_EQ(net.ready, ok);
        }
    }
    const std::string bytes = serialize_model(small_model(true));
    for (size_t at = 0; at + 4 <= bytes.size(); at += 4) {
        for (int32_t v : {0, -1, 1, 1023, 1024, 0x7fffffff, int32_t(0x80000000), 65536}) {
            std::string damaged = bytes;
            for (int i = 0; i < 4; ++i) damaged[at + size_t(i)] = char((uint32_t(v) >> (8 * i)) & 0xff);
            Net net;
            bool ok = false;
            run_load(net, damaged, true, ok);
            ASSERT_EQ(ok, net.ready);
            if (ok) {
                testing::internal::CaptureStdout();
                EXPECT_EQ(net.forward().size(), net.output_ids.size());
                testing::internal::GetCapturedStdout();
            }
        }
    }
}

}  // namespace
}  // namespace kx
