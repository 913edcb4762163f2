#pragma once
// A ceiling on the bytes one network's blobs may hold, enforced while the
// network is built from its file.
//
// A model file states its input size and its layers' parameters; from those
// numbers alone a file of a few hundred bytes could ask for tens of
// gigabytes. While a BlobBudget is open on a thread, every blob created or
// reshaped on that thread is charged against it *before* its storage is
// allocated, and a blob that would pass the ceiling throws
// BlobBudgetExceeded instead. The network loader opens one for the whole
// load, so a network whose blobs (inputs, tops, weights and scratch) would
// need more than the budget at its declared input size is refused at load.
#include <cstdint>
#include <new>

namespace kx {

// Default ceiling of one network: 2 GiB of blob storage at the declared
// input size. The shipped networks need a few megabytes.
constexpr int64_t kDefaultBlobBudgetBytes = int64_t(2) << 30;

struct BlobBudgetExceeded : std::bad_alloc {
    const char* what() const noexcept override { return "blob budget exceeded"; }
};

class BlobBudget {
public:
    explicit BlobBudget(int64_t bytes);
    ~BlobBudget();
    BlobBudget(const BlobBudget&) = delete;
    BlobBudget& operator=(const BlobBudget&) = delete;

    int64_t used() const { return used_; }

    // Charges `bytes` to the innermost open budget of this thread (no-op
    // when none is open); throws BlobBudgetExceeded when it would pass the
    // ceiling, charging nothing.
    static void charge(int64_t bytes);

private:
    int64_t limit_;
    int64_t used_ = 0;
    BlobBudget* outer_;
};

}  // namespace kx
