#pragma once
#include <cstddef>
#include <vector>

namespace kx {

// A run of consecutive layers [first, end) that falls into branches: each
// branch is a run of consecutive layers (starting at branch_starts[i] and
// ending where the next starts, the last at end) that reads nothing another
// branch of the run writes and writes nothing another branch reads or
// writes. Branches can therefore run side by side, each on its own thread,
// and give the same bits as in file order.
struct BranchRun {
    size_t first = 0;
    size_t end = 0;
    std::vector<size_t> branch_starts;  // branch_starts[0] == first

    size_t branch_end(size_t i) const { return i + 1 < branch_starts.size() ? branch_starts[i + 1] : end; }
};

// Splits layers (their bottom and top blob ids, in execution order) into
// runs. A layer joins the last branch of the current run when it reads what
// only that branch wrote, opens a new branch when it reads nothing the run
// wrote, and ends the run (opening the next one) when it reads from two
// branches or from an earlier one, or when its writes would clash with
// another branch. A layer whose top two or more later layers read ends the
// run after it, so that those readers can each open a branch. Only runs of
// two or more branches are returned.
std::vector<BranchRun> find_branch_runs(const std::vector<std::vector<int>>& bottom_ids,
                                        const std::vector<std::vector<int>>& top_ids);

}  // namespace kx
