#include "net/layers/tile_product.h"

#include <cstddef>

#if defined(__AVX2__) && defined(__FMA__)
#include <immintrin.h>
#define KX_TILE_PRODUCT_AVX2 1
#else
#include <cmath>
#endif

namespace kx {

namespace {

// Where row p of B starts: at a fixed stride, or at an offset from a table.
struct StridedRows {
    const float* base;
    int stride;
    const float* row(int p) const { return base + size_t(p) * size_t(stride); }
    StridedRows shifted(int j) const { return {base + j, stride}; }
};

struct TableRows {
    const float* base;
    const int* offsets;
    const float* row(int p) const { return base + offsets[p]; }
    TableRows shifted(int j) const { return {base + j, offsets}; }
};

}  // namespace

#if KX_TILE_PRODUCT_AVX2

namespace {

constexpr int kRows = 4;     // outputs rows per block
constexpr int kVectors = 3;  // 8-float vectors per block row
constexpr int kColumns = 8 * kVectors;

// One block of R rows by V vectors of 8 columns: 12 accumulators at most,
// so that the fused multiply-adds of consecutive k steps overlap in the
// pipeline. With Tail, only the columns whose mask lane is set are read and
// written.
template <int R, int V, bool Tail, typename Rows>
inline void block(const float* A, int lda, Rows B, const float* bias, float* C, int ldc, int k,
                  const __m256i* masks) {
    __m256 acc[R][V];
    for (int r = 0; r < R; ++r)
        for (int v = 0; v < V; ++v) acc[r][v] = _mm256_setzero_ps();

    for (int p = 0; p < k; ++p) {
        const float* b = B.row(p);
        __m256 bv[V];
        for (int v = 0; v < V; ++v) {
            bv[v] = Tail ? _mm256_maskload_ps(b + 8 * v, masks[v]) : _mm256_loadu_ps(b + 8 * v);
        }
        for (int r = 0; r < R; ++r) {
            const __m256 a = _mm256_broadcast_ss(A + size_t(r) * size_t(lda) + size_t(p));
            for (int v = 0; v < V; ++v) acc[r][v] = _mm256_fmadd_ps(a, bv[v], acc[r][v]);
        }
    }

    for (int r = 0; r < R; ++r) {
        const __m256 shift = _mm256_set1_ps(bias[r]);
        float* c = C + size_t(r) * size_t(ldc);
        for (int v = 0; v < V; ++v) {
            const __m256 out = _mm256_add_ps(acc[r][v], shift);
            if (Tail) {
                _mm256_maskstore_ps(c + 8 * v, masks[v], out);
            } else {
                _mm256_storeu_ps(c + 8 * v, out);
            }
        }
    }
}

// All rows of one column strip.
template <int V, bool Tail, typename Rows>
void strip(const float* A, int lda, Rows B, const float* bias, float* C, int ldc, int m, int k,
           const __m256i* masks) {
    int i = 0;
    for (; i + kRows <= m; i += kRows) {
        block<kRows, V, Tail>(A + size_t(i) * lda, lda, B, bias + i, C + size_t(i) * ldc, ldc, k, masks);
    }
    const float* a = A + size_t(i) * lda;
    float* c = C + size_t(i) * ldc;
    switch (m - i) {
        case 3: block<3, V, Tail>(a, lda, B, bias + i, c, ldc, k, masks); break;
        case 2: block<2, V, Tail>(a, lda, B, bias + i, c, ldc, k, masks); break;
        case 1: block<1, V, Tail>(a, lda, B, bias + i, c, ldc, k, masks); break;
        default: break;
    }
}

template <typename Rows>
void product(const float* A, int lda, Rows B, const float* bias, float* C, int ldc, int m, int n, int k) {
    if (m <= 0 || n <= 0) return;
    const __m256i full[kVectors] = {_mm256_set1_epi32(-1), _mm256_set1_epi32(-1), _mm256_set1_epi32(-1)};
    int j = 0;
    for (; j + kColumns <= n; j += kColumns) {
        strip<kVectors, false>(A, lda, B.shifted(j), bias, C + j, ldc, m, k, full);
    }
    // The last columns with as few vectors as cover them, the last one
    // masked.
    const int rest = n - j;
    if (rest > 0) {
        __m256i masks[kVectors];
        for (int v = 0; v < kVectors; ++v) {
            const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
            masks[v] = _mm256_cmpgt_epi32(_mm256_set1_epi32(rest - 8 * v), lane);
        }
        switch ((rest + 7) / 8) {
            case 1: strip<1, true>(A, lda, B.shifted(j), bias, C + j, ldc, m, k, masks); break;
            case 2: strip<2, true>(A, lda, B.shifted(j), bias, C + j, ldc, m, k, masks); break;
            default: strip<3, true>(A, lda, B.shifted(j), bias, C + j, ldc, m, k, masks); break;
        }
    }
}

}  // namespace

#else

namespace {

template <typename Rows>
void product(const float* A, int lda, Rows B, const float* bias, float* C, int ldc, int m, int n, int k) {
    for (int i = 0; i < m; ++i) {
        float* c = C + size_t(i) * ldc;
        for (int j = 0; j < n; ++j) c[j] = 0.0f;
        for (int p = 0; p < k; ++p) {
            const float a = A[size_t(i) * lda + p];
            const float* b = B.row(p);
            for (int j = 0; j < n; ++j) {
                const float term = a * b[j];
                c[j] = c[j] + term;
            }
        }
        for (int j = 0; j < n; ++j) c[j] = c[j] + bias[i];
    }
}

}  // namespace

#endif

void tile_product(const float* A, int lda, const float* B, int ldb, const float* bias, float* C, int ldc, int m,
                  int n, int k) {
    product(A, lda, StridedRows{B, ldb}, bias, C, ldc, m, n, k);
}

void tile_product_rows(const float* A, int lda, const float* B, const int* row_offsets, const float* bias, float* C,
                       int ldc, int m, int n, int k) {
    product(A, lda, TableRows{B, row_offsets}, bias, C, ldc, m, n, k);
}

}  // namespace kx
