#include "net/layers/tile_product.h"

#include <algorithm>
#include <cstddef>
#include <vector>

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
static_assert(kColumns == kTileProductColumns, "the header's block width");
// Terms per part of a long sum: a strip of B of 128 rows by 24 columns holds
// 12 KB of values, but its rows lie apart in the input planes and each spans
// two or three cache lines, about 20 KB of the first-level cache. (192 rows
// were 3-5 % slower on the 576-term sums of 3 x 3 convolutions over 64
// channels.)
constexpr int kMaxPart = 128;

// One part of the sums: terms [begin, end).
struct Part {
    int begin;
    int end;
    bool first;  // starts from zero rather than from C
    bool last;   // adds the bias
};

// One block of R rows by V vectors of 8 columns: 12 accumulators at most,
// so that the fused multiply-adds of consecutive k steps overlap in the
// pipeline. Terms [p0, p1) of the sums: the first part starts from zero,
// later parts from the partial sums the previous part stored in C (a float
// stored and loaded again is the same float, so the order of every sum is
// kept), and the last part adds the bias.
template <int R, int V, typename Rows>
__attribute__((always_inline)) inline void block(const float* A, int lda, Rows B, const float* bias, float* C, int ldc,
                                                  Part part) {
    __m256 acc[R][V];
    for (int r = 0; r < R; ++r) {
        const float* c = C + size_t(r) * size_t(ldc);
        for (int v = 0; v < V; ++v) acc[r][v] = part.first ? _mm256_setzero_ps() : _mm256_loadu_ps(c + 8 * v);
    }

    // Unrolled by hand (the pragmas) so that the accumulators stay in
    // registers: without them GCC kept them on the stack in some of the
    // instantiations, storing all twelve on every k step.
    for (int p = part.begin; p < part.end; ++p) {
        const float* b = B.row(p);
        __m256 bv[V];
#pragma GCC unroll 3
        for (int v = 0; v < V; ++v) bv[v] = _mm256_loadu_ps(b + 8 * v);
#pragma GCC unroll 4
        for (int r = 0; r < R; ++r) {
            const __m256 a = _mm256_broadcast_ss(A + size_t(r) * size_t(lda) + size_t(p));
#pragma GCC unroll 3
            for (int v = 0; v < V; ++v) acc[r][v] = _mm256_fmadd_ps(a, bv[v], acc[r][v]);
        }
    }

    for (int r = 0; r < R; ++r) {
        const __m256 shift = _mm256_set1_ps(bias[r]);
        float* c = C + size_t(r) * size_t(ldc);
        for (int v = 0; v < V; ++v) _mm256_storeu_ps(c + 8 * v, part.last ? _mm256_add_ps(acc[r][v], shift) : acc[r][v]);
    }
}

// All rows of one column strip.
template <int V, typename Rows>
void strip(const float* A, int lda, Rows B, const float* bias, float* C, int ldc, int m, Part part) {
    int i = 0;
    for (; i + kRows <= m; i += kRows) {
        block<kRows, V>(A + size_t(i) * lda, lda, B, bias + i, C + size_t(i) * ldc, ldc, part);
    }
    const float* a = A + size_t(i) * lda;
    float* c = C + size_t(i) * ldc;
    switch (m - i) {
        case 3: block<3, V>(a, lda, B, bias + i, c, ldc, part); break;
        case 2: block<2, V>(a, lda, B, bias + i, c, ldc, part); break;
        case 1: block<1, V>(a, lda, B, bias + i, c, ldc, part); break;
        default: break;
    }
}

// The columns after the last whole strip, as few vectors as cover them:
// their B columns copied with zeros after them to whole vectors, their
// outputs summed in a scratch of whole vectors and copied out at the end.
// (Masked loads and stores in the blocks took twice the time of the whole
// product on narrow tiles.) The zero lanes are never copied out.
struct PaddedTail {
    int width = 0;  // floats per row: the tail's columns rounded up to vectors
    std::vector<float> b;
    std::vector<float> c;
};

template <typename Rows>
void product(const float* A, int lda, Rows B, const float* bias, float* C, int ldc, int m, int n, int k) {
    if (m <= 0 || n <= 0) return;
    const int rest = n % kColumns;
    const int whole = n - rest;
    thread_local PaddedTail tail;
    if (rest > 0) {
        tail.width = (rest + 7) / 8 * 8;
        tail.b.resize(size_t(std::max(k, 1)) * size_t(tail.width));
        tail.c.resize(size_t(m) * size_t(tail.width));
        const Rows last = B.shifted(whole);
        for (int p = 0; p < k; ++p) {
            float* row = tail.b.data() + size_t(p) * tail.width;
            std::fill(std::copy_n(last.row(p), rest, row), row + tail.width, 0.0f);
        }
    }
    // Long sums go in parts of equal length, each short enough that the
    // strip of B it reads stays in the first-level cache for every row
    // block.
    const int parts = std::max(1, (k + kMaxPart - 1) / kMaxPart);
    const int part_length = std::max(1, (k + parts - 1) / parts);
    for (int p0 = 0; p0 < std::max(k, 1); p0 += part_length) {
        const Part part{p0, std::min(k, p0 + part_length), p0 == 0, p0 + part_length >= k};
        for (int j = 0; j < whole; j += kColumns) {
            strip<kVectors>(A, lda, B.shifted(j), bias, C + j, ldc, m, part);
        }
        if (rest > 0) {
            const StridedRows padded{tail.b.data(), tail.width};
            float* c = tail.c.data();
            switch (tail.width / 8) {
                case 1: strip<1>(A, lda, padded, bias, c, tail.width, m, part); break;
                case 2: strip<2>(A, lda, padded, bias, c, tail.width, m, part); break;
                default: strip<3>(A, lda, padded, bias, c, tail.width, m, part); break;
            }
        }
    }
    if (rest > 0) {
        for (int i = 0; i < m; ++i) {
            std::copy_n(tail.c.data() + size_t(i) * tail.width, rest, C + size_t(i) * size_t(ldc) + whole);
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
