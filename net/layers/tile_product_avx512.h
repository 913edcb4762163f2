#pragma once
// The AVX-512 kernel of the tile product, compiled on its own with AVX-512
// enabled; tile_product.cpp calls it only on CPUs that have AVX-512F.

namespace kx::avx512 {

constexpr int kLanes = 16;
constexpr int kColumns = 32;  // 8 rows by 2 vectors per register block

// tile_product (row_offsets == nullptr, rows ldb apart) or tile_product_rows.
// tail_b and tail_c hold k and m rows of padded_tail_width(n, kColumns,
// kLanes) floats (tile_product_kernel.h).
void product(const float* A, int lda, const float* B, int ldb, const int* row_offsets, const float* bias, float* C,
             int ldc, int m, int n, int k, float* tail_b, float* tail_c);

}  // namespace kx::avx512
