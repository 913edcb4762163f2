#include "net/branch_plan.h"

#include <gtest/gtest.h>

#include <vector>

namespace kx {
namespace {

using Ids = std::vector<std::vector<int>>;

// Layer k of a single-input network writes blob k + 1 unless told otherwise.
Ids tops_in_order(size_t layers) {
    Ids tops;
    for (size_t k = 0; k < layers; ++k) tops.push_back({int(k) + 1});
    return tops;
}

struct Expected {
    size_t first, end;
    std::vector<size_t> starts;
};

void expect_runs(const Ids& bottoms, const Ids& tops, const std::vector<Expected>& want) {
    const std::vector<BranchRun> got = find_branch_runs(bottoms, tops);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].first, want[i].first);
        EXPECT_EQ(got[i].end, want[i].end);
        EXPECT_EQ(got[i].branch_starts, want[i].starts);
    }
}

TEST(BranchRuns, TowersFromTheInputUpToTheirJoin) {
    // Three towers of two layers on blob 0, joined by a concatenation that
    // two heads read: the heads are branches too.
    const Ids bottoms = {{0}, {1}, {0}, {3}, {0}, {5}, {2, 4, 6}, {7}, {7}};
    expect_runs(bottoms, tops_in_order(bottoms.size()), {{0, 6, {0, 2, 4}}, {7, 9, {7, 8}}});
}

TEST(BranchRuns, AChainHasNone) {
    expect_runs({{0}, {1}, {2}, {3}}, tops_in_order(4), {});
    // A skip connection reads a blob twice, but once in its own chain.
    expect_runs({{0}, {1}, {2}, {3, 1}}, tops_in_order(4), {});
}

TEST(BranchRuns, AForkInsideTheNetworkOpensBranches) {
    // Two heads on one trunk.
    expect_runs({{0}, {1}, {1}, {2, 3}}, tops_in_order(4), {{1, 3, {1, 2}}});
    // Two towers, a join, then two towers of two layers on the join's output.
    const Ids bottoms = {{0}, {0}, {1, 2}, {3}, {4}, {3}, {6}, {5, 7}};
    expect_runs(bottoms, tops_in_order(bottoms.size()), {{0, 2, {0, 1}}, {3, 7, {3, 5}}});
}

TEST(BranchRuns, ReadingAnEarlierBranchEndsTheRun) {
    // Layer 2 opens a branch, layer 3 reads branch 0 again: no longer
    // independent, so the run ends there.
    const Ids bottoms = {{0}, {0}, {0}, {1}};
    expect_runs(bottoms, tops_in_order(bottoms.size()), {{0, 3, {0, 1, 2}}});
}

TEST(BranchRuns, WritesThatClashEndTheRun) {
    // A layer in place on the input that the layer before read: it must
    // wait for that layer, and the one after reads what it wrote.
    expect_runs({{0}, {0}, {0}}, {{1}, {0}, {2}}, {});
    // Two towers writing one blob.
    expect_runs({{0}, {0}}, {{1}, {1}}, {});
    // A layer in place on its own branch's blob is its branch's business.
    expect_runs({{0}, {1}, {0}, {3}}, {{1}, {1}, {3}, {3}}, {{0, 4, {0, 2}}});
}

TEST(BranchRuns, ToleratesEmptyAndUnevenLists) {
    expect_runs({}, {}, {});
    // Layers without bottoms each open a branch of their own.
    expect_runs({{}, {}}, tops_in_order(2), {{0, 2, {0, 1}}});
    // Bottom lists beyond the top lists are ignored.
    expect_runs({{0}, {0}, {0}}, tops_in_order(2), {{0, 2, {0, 1}}});
}

}  // namespace
}  // namespace kx
