#include "net/layers/tile_product.h"

#include <algorithm>
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
// Terms per part of a long sum: a strip of B of 192 rows by 24 columns is
// 18 KB.
constexpr int kMaxPart = 192;

// One part of the sums: terms [begin, end).
struct Part {
    int begin;
    int end;
    bool first;  // starts from zero rather than from C
    bool last;   // adds the bias
};

// One block of R rows by V vectors of 8 columns: 12 accumulators at most,
// so that the fused multiply-adds of consecutive k steps overlap in the
// pipeline. With Tail, only the columns whose mask lane is set are read and
// written.
// Terms [p0, p1) of the sums: the first part starts from zero, later parts
// from the partial sums the previous part stored in C (a float stored and
// loaded again is the same float, so the order of every sum is kept), and
// the last part adds the bias.
template <int R, int V, bool Tail, typename Rows>
inline void block(const float* A, int lda, Rows B, const float* bias, float* C, int ldc, Part part,
                  const __m256i* masks) {
    __m256 acc[R][V];
    for (int r = 0; r < R; ++r) {
        const float* c = C + size_t(r) * size_t(ldc);
        for (int v = 0; v < V; ++v) {
            if (part.first) {
                acc[r][v] = _mm256_setzero_ps();
            } else {
                acc[r][v] = Tail ? _mm256_maskload_ps(c + 8 * v, masks[v]) : _mm256_loadu_ps(c + 8 * v);
            }
        }
    }

    for (int p = part.begin; p < part.end; ++p) {
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
            const __m256 out = part.last ? _mm256_add_ps(acc[r][v], shift) : acc[r][v];
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
void strip(const float* A, int lda, Rows B, const float* bias, float* C, int ldc, int m, Part part,
           const __m256i* masks) {
    int i = 0;
    for (; i + kRows <= m; i += kRows) {
        block<kRows, V, Tail>(A + size_t(i) * lda, lda, B, bias + i, C + size_t(i) * ldc, ldc, part, masks);
    }
    const float* a = A + size_t(i) * lda;
    float* c = C + size_t(i) * ldc;
    switch (m - i) {
        case 3: block<3, V, Tail>(a, lda, B, bias + i, c, ldc, part, masks); break;
        case 2: block<2, V, Tail>(a, lda, B, bias + i, c, ldc, part, masks); break;
        case 1: block<1, V, Tail>(a, lda, B, bias + i, c, ldc, part, masks); break;
        default: break;
    }
}

template <typename Rows>
void product(const float* A, int lda, Rows B, const float* bias, float* C, int ldc, int m, int n, int k) {
    if (m <= 0 || n <= 0) return;
    const __m256i full[kVectors] = {_mm256_set1_epi32(-1), _mm256_set1_epi32(-1), _mm256_set1_epi32(-1)};
    const int rest = n % kColumns;
    __m256i masks[kVectors];
    for (int v = 0; v < kVectors; ++v) {
        const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        masks[v] = _mm256_cmpgt_epi32(_mm256_set1_epi32(rest - 8 * v), lane);
    }
    // Long sums go in parts of equal length, each short enough that the
    // strip of B it reads stays in the first-level cache for every row
    // block.
    const int parts = std::max(1, (k + kMaxPart - 1) / kMaxPart);
    const int part_length = std::max(1, (k + parts - 1) / parts);
    for (int p0 = 0; p0 < std::max(k, 1); p0 += part_length) {
        const Part part{p0, std::min(k, p0 + part_length), p0 == 0, p0 + part_length >= k};
        int j = 0;
        for (; j + kColumns <= n; j += kColumns) {
            strip<kVectors, false>(A, lda, B.shifted(j), bias, C + j, ldc, m, part, full);
        }
        // The last columns with as few vectors as cover them, the last one
        // masked.
        if (rest > 0) {
            switch ((rest + 7) / 8) {
                case 1: strip<1, true>(A, lda, B.shifted(j), bias, C + j, ldc, m, part, masks); break;
                case 2: strip<2, true>(A, lda, B.shifted(j), bias, C + j, ldc, m, part, masks); break;
                default: strip<3, true>(A, lda, B.shifted(j), bias, C + j, ldc, m, part, masks); break;
            }
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
