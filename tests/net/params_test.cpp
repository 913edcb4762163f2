#include "net/params.h"

#include <gtest/gtest.h>

namespace kx {
namespace {

TEST(ParseLayerParams, PairsUpToTheFirstMalformedOne) {
    const struct {
        const char* text;
        LayerParams expected;
    } cases[] = {
        {"type:conv,ksize:3,map_num:32,", {{"type", "conv"}, {"ksize", "3"}, {"map_num", "32"}}},
        {"type:relu,a:1,a:2,", {{"type", "relu"}, {"a", "1"}}},            // the first value wins
        {"type:pool,ksize:2", {{"type", "pool"}}},                         // no final comma: lost
        {"type:relu,:x,b:2,", {{"type", "relu"}}},                         // empty key
        {"type:relu,a:,b:2,", {{"type", "relu"}}},                         // empty value
        {"type:relu,a,b:2,", {{"type", "relu"}}},                          // comma before colon
        {"type:conv, ksize: 3 ,", {{"type", "conv"}, {" ksize", " 3 "}}},  // nothing trimmed
        {"ksize:3,stride:1,", {}},                                         // no type: nothing
        {":conv,type:conv,", {}},
        {"type:,", {}},
        {"", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_layer_params(c.text), c.expected) << c.text;
}

}  // namespace
}  // namespace kx
