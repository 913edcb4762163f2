#include "net/branch_plan.h"

#include <algorithm>

namespace kx {

namespace {

// What the branches of the run being built have done to each blob.
struct BlobUse {
    int writer = -1;           // the branch that wrote it, -1 for none
    std::vector<int> readers;  // the branches that read it
};

bool only(const std::vector<int>& branches, int branch) {
    return std::all_of(branches.begin(), branches.end(), [&](int b) { return b == branch; });
}

}  // namespace

std::vector<BranchRun> find_branch_runs(const std::vector<std::vector<int>>& bottom_ids,
                                        const std::vector<std::vector<int>>& top_ids) {
    int blob_count = 0;
    for (const auto* lists : {&bottom_ids, &top_ids}) {
        for (const std::vector<int>& ids : *lists) {
            for (int id : ids) blob_count = std::max(blob_count, id + 1);
        }
    }
    const size_t layer_count = std::min(bottom_ids.size(), top_ids.size());
    // Per blob, the layers that read it, in order.
    std::vector<std::vector<size_t>> readers_of(static_cast<size_t>(blob_count));
    for (size_t k = 0; k < layer_count; ++k) {
        for (int id : bottom_ids[k]) {
            if (id >= 0) readers_of[size_t(id)].push_back(k);
        }
    }
    auto read_twice_after = [&](int id, size_t k) {
        const std::vector<size_t>& r = readers_of[size_t(id)];
        return r.end() - std::upper_bound(r.begin(), r.end(), k) >= 2;
    };

    std::vector<BranchRun> runs;
    BranchRun run;
    std::vector<BlobUse> use(static_cast<size_t>(blob_count));
    auto close_run = [&](size_t at) {
        run.end = at;
        if (run.branch_starts.size() >= 2) runs.push_back(run);
        run = BranchRun{};
        run.first = at;
        use.assign(size_t(blob_count), BlobUse{});
    };

    // The branch layer k joins in the run being built (one past the last
    // opens a new one), or -1 when it cannot join: it reads two branches or
    // an earlier one, or its writes clash with another branch's blobs.
    auto branch_for = [&](size_t k) {
        const int last = int(run.branch_starts.size()) - 1;
        int branch = last + 1;
        for (int id : bottom_ids[k]) {
            const int writer = id >= 0 ? use[size_t(id)].writer : -1;
            if (writer < 0) continue;
            if (writer != last) return -1;
            branch = last;
        }
        for (int id : top_ids[k]) {
            if (id < 0) continue;
            const BlobUse& u = use[size_t(id)];
            if ((u.writer >= 0 && u.writer != branch) || !only(u.readers, branch)) return -1;
        }
        return branch;
    };

    for (size_t k = 0; k < layer_count; ++k) {
        int branch = branch_for(k);
        if (branch < 0) {
            // The layer opens the next run, where it reads and writes
            // nothing of anyone else's.
            close_run(k);
            branch = 0;
        }
        if (branch == int(run.branch_starts.size())) run.branch_starts.push_back(k);
        for (int id : bottom_ids[k]) {
            if (id >= 0) use[size_t(id)].readers.push_back(branch);
        }
        bool fork = false;
        for (int id : top_ids[k]) {
            if (id < 0) continue;
            use[size_t(id)].writer = branch;
            fork = fork || read_twice_after(id, k);
        }
        // Where a blob forks, the run ends: its readers then read a blob from
        // before their run, and each opens a branch.
        if (fork) close_run(k + 1);
    }
    close_run(layer_count);
    return runs;
}

}  // namespace kx
