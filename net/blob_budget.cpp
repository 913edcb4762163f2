#include "net/blob_budget.h"

namespace kx {

namespace {
thread_local BlobBudget* open_budget = nullptr;
}  // namespace

BlobBudget::BlobBudget(int64_t bytes) : limit_(bytes), outer_(open_budget) { open_budget = this; }

BlobBudget::~BlobBudget() { open_budget = outer_; }

void BlobBudget::charge(int64_t bytes) {
    BlobBudget* budget = open_budget;
    if (budget == nullptr || bytes <= 0) return;
    if (bytes > budget->limit_ - budget->used_) throw BlobBudgetExceeded();
    budget->used_ += bytes;
}

}  // namespace kx
