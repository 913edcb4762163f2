#pragma once

namespace kx {

// The instruction sets the convolution's matrix product has kernels for.
enum class ProductKernel { plain, avx2, avx512 };

// The kernel in use: the widest that both the build and this CPU have
// (AVX-512 is picked at run time, so one library serves both kinds of CPU).
ProductKernel tile_product_kernel();

// Switches to `kernel` if the build and this CPU have it, for the tests and
// benchmarks that compare kernels; false (and no change) otherwise. Not to
// be called while products run.
bool use_tile_product_kernel(ProductKernel kernel);

// Columns of the kernel's register block: tiles whose width is a multiple
// of it waste nothing (24 for AVX2, 32 for AVX-512).
int tile_product_columns();

// The convolution's matrix product on one tile of output positions:
//   C[i][j] = (A[i][0] * B[0][j] + A[i][1] * B[1][j] + ... ) + bias[i]
// for i < m, j < n, with row strides lda, ldb and ldc. Every output value is
// summed in the order of its k terms, one fused multiply-add at a time (on
// builds without FMA instructions, a product then a sum), starting from zero,
// and the bias is added last. So a value does not depend on how the outputs
// are cut into tiles, nor on which thread computes which tile, nor on the
// vector width: a convolution gives the same bits for every thread count,
// and the AVX2 and AVX-512 kernels give the same bits.
//
// Register-blocked (AVX2 and FMA: 4 rows by 24 columns; AVX-512: 8 rows by
// 32 columns), reading B rows as they lie. The columns after the last whole
// block are copied, padded with zeros, to a buffer of the calling thread and
// summed into a padded scratch that is copied out: nothing outside the m x n
// outputs is read from B or written to C.
void tile_product(const float* A, int lda, const float* B, int ldb, const float* bias, float* C, int ldc,
                  int m, int n, int k);

// The same with row p of B starting at B + row_offsets[p]: a stride-1
// convolution reads its taps straight from the (padded) input planes, one
// offset per channel and tap, without unfolding them.
void tile_product_rows(const float* A, int lda, const float* B, const int* row_offsets, const float* bias, float* C,
                       int ldc, int m, int n, int k);

}  // namespace kx
