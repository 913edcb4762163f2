#include "net/layers/tile_product_avx512.h"

#if defined(KX_TILE_PRODUCT_AVX512)

#include <immintrin.h>

#include "net/layers/tile_product_kernel.h"

namespace kx::avx512 {

namespace {

struct Zmm {
    using vec = __m512;
    static constexpr int lanes = kLanes;
    static constexpr int rows = 8;
    static constexpr int vectors = kColumns / kLanes;
    static vec zero() { return _mm512_setzero_ps(); }
    static vec load(const float* p) { return _mm512_loadu_ps(p); }
    static vec set1(float x) { return _mm512_set1_ps(x); }
    static void store(float* p, vec v) { _mm512_storeu_ps(p, v); }
    static vec fmadd(vec a, vec b, vec c) { return _mm512_fmadd_ps(a, b, c); }
    static vec add(vec a, vec b) { return _mm512_add_ps(a, b); }
};

}  // namespace

void product(const float* A, int lda, const float* B, int ldb, const int* row_offsets, const float* bias, float* C,
             int ldc, int m, int n, int k, float* tail_b, float* tail_c) {
    if (row_offsets == nullptr) {
        kx::product<Zmm>(A, lda, StridedRows{B, ldb}, bias, C, ldc, m, n, k, tail_b, tail_c);
    } else {
        kx::product<Zmm>(A, lda, TableRows{B, row_offsets}, bias, C, ldc, m, n, k, tail_b, tail_c);
    }
}

}  // namespace kx::avx512

#endif
