#pragma once

namespace kx {

// Single-precision matrix products over row-major arrays, computed by Eigen's
// cache-blocked, vectorised product. The output is overwritten, never
// accumulated into, and the order in which products are summed is Eigen's.
// Non-positive sizes are allowed: an empty output is left alone, and an empty
// inner dimension gives an output of zeros.

// C (m x n) = A (m x k) * B (k x n).
void gemm(const float* A, const float* B, float* C, int m, int n, int k);

// C (m x n) = A (m x k) * B^T, where B is stored as an n x k row-major matrix
// and read transposed in place (no copy). This is the shape of a fully
// connected layer: inputs as rows of A, one weight row per output in B.
void gemm_nt(const float* A, const float* B, float* C, int m, int n, int k);

}  // namespace kx
