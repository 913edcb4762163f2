#include "net/gemm.h"

#include <Eigen/Core>

namespace kx {

namespace {

using RowMatrix = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using ConstView = Eigen::Map<const RowMatrix>;
using View = Eigen::Map<RowMatrix>;

// Handles the degenerate shapes so that Eigen only ever sees real products.
// Returns true when the caller still has to compute the product.
bool needs_product(float* C, int m, int n, int k) {
    if (m <= 0 || n <= 0) return false;
    if (k <= 0) {
        View(C, m, n).setZero();
        return false;
    }
    return true;
}

}  // namespace

void gemm(const float* A, const float* B, float* C, int m, int n, int k) {
    if (!needs_product(C, m, n, k)) return;
    View c(C, m, n);
    c.noalias() = ConstView(A, m, k) * ConstView(B, k, n);
}

void gemm_nt(const float* A, const float* B, float* C, int m, int n, int k) {
    if (!needs_product(C, m, n, k)) return;
    View c(C, m, n);
    c.noalias() = ConstView(A, m, k) * ConstView(B, n, k).transpose();
}

}  // namespace kx
