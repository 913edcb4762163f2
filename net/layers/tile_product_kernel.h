#pragma once
// The register-blocked product behind tile_product, written once over a
// vector type and compiled once per instruction set (tile_product.cpp for
// AVX2, tile_product_avx512.cpp for AVX-512). Included only by those files,
// each of which defines the Vec traits first:
//   using vec;  static constexpr int lanes, rows, vectors;
//   static vec zero(); load(const float*); set1(float);
//   static void store(float*, vec); static vec fmadd(vec, vec, vec), add(vec, vec).
// Everything here has internal linkage and uses no library templates, so
// the AVX-512 file's code cannot stand in for a shared instance that the
// AVX2 code calls on a CPU without AVX-512.

#include <cstddef>

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

// Terms per part of a long sum: a strip of B of 128 rows by 24 columns holds
// 12 KB of values, but its rows lie apart in the input planes and each spans
// two or three cache lines, about 20 KB of the first-level cache. (192 rows
// were 3-5 % slower on the 576-term sums of 3 x 3 convolutions over 64
// channels.)
constexpr int kMaxPart = 128;

// Floats per row of the padded tail of n columns: the columns after the last
// whole block of `columns`, rounded up to whole vectors of `lanes`.
constexpr int padded_tail_width(int n, int columns, int lanes) { return (n % columns + lanes - 1) / lanes * lanes; }

// One part of the sums: terms [begin, end).
struct Part {
    int begin;
    int end;
    bool first;  // starts from zero rather than from C
    bool last;   // adds the bias
};

// One block of R rows by V vectors: at most 12 (AVX2) or 16 (AVX-512)
// accumulators, so that the fused multiply-adds of consecutive k steps
// overlap in the pipeline. Terms [p0, p1) of the sums: the first part
// starts from zero, later parts from the partial sums the previous part
// stored in C (a float stored and loaded again is the same float, so the
// order of every sum is kept), and the last part adds the bias.
template <typename Vec, int R, int V, typename Rows>
__attribute__((always_inline)) inline void block(const float* A, int lda, Rows B, const float* bias, float* C, int ldc,
                                                  Part part) {
    typename Vec::vec acc[R][V];
    for (int r = 0; r < R; ++r) {
        const float* c = C + size_t(r) * size_t(ldc);
        for (int v = 0; v < V; ++v) acc[r][v] = part.first ? Vec::zero() : Vec::load(c + Vec::lanes * v);
    }

    // Unrolled by hand (the pragmas) so that the accumulators stay in
    // registers: without them GCC kept them on the stack in some of the
    // instantiations, storing all of them on every k step.
    for (int p = part.begin; p < part.end; ++p) {
        const float* b = B.row(p);
        typename Vec::vec bv[V];
#pragma GCC unroll 3
        for (int v = 0; v < V; ++v) bv[v] = Vec::load(b + Vec::lanes * v);
#pragma GCC unroll 8
        for (int r = 0; r < R; ++r) {
            const typename Vec::vec a = Vec::set1(A[size_t(r) * size_t(lda) + size_t(p)]);
#pragma GCC unroll 3
            for (int v = 0; v < V; ++v) acc[r][v] = Vec::fmadd(a, bv[v], acc[r][v]);
        }
    }

    for (int r = 0; r < R; ++r) {
        const typename Vec::vec shift = Vec::set1(bias[r]);
        float* c = C + size_t(r) * size_t(ldc);
        for (int v = 0; v < V; ++v) Vec::store(c + Vec::lanes * v, part.last ? Vec::add(acc[r][v], shift) : acc[r][v]);
    }
}

// The last m % R rows of a strip, one block of exactly that many.
template <typename Vec, int V, int R, typename Rows>
void last_rows(int left, const float* A, int lda, Rows B, const float* bias, float* C, int ldc, Part part) {
    if constexpr (R > 1) {
        if (left < R) return last_rows<Vec, V, R - 1>(left, A, lda, B, bias, C, ldc, part);
    }
    block<Vec, R, V>(A, lda, B, bias, C, ldc, part);
}

// All rows of one column strip of V vectors.
template <typename Vec, int V, typename Rows>
void strip(const float* A, int lda, Rows B, const float* bias, float* C, int ldc, int m, Part part) {
    int i = 0;
    for (; i + Vec::rows <= m; i += Vec::rows) {
        block<Vec, Vec::rows, V>(A + size_t(i) * lda, lda, B, bias + i, C + size_t(i) * ldc, ldc, part);
    }
    if (i < m) {
        last_rows<Vec, V, Vec::rows - 1>(m - i, A + size_t(i) * lda, lda, B, bias + i, C + size_t(i) * ldc, ldc,
                                         part);
    }
}

// A strip of as few vectors as cover `vectors` of them (the padded tail).
template <typename Vec, int V, typename Rows>
void narrow_strip(int vectors, const float* A, int lda, Rows B, const float* bias, float* C, int ldc, int m,
                  Part part) {
    if constexpr (V > 1) {
        if (vectors < V) return narrow_strip<Vec, V - 1>(vectors, A, lda, B, bias, C, ldc, m, part);
    }
    strip<Vec, V>(A, lda, B, bias, C, ldc, m, part);
}

// The columns after the last whole strip, as few vectors as cover them:
// their B columns copied with zeros after them to whole vectors (tail_b, k
// rows of `width`), their outputs summed in a scratch of whole vectors
// (tail_c, m rows of `width`) and copied out at the end; width is the
// tail's columns rounded up to whole vectors (see padded_tail_width).
// (Masked loads and stores in the blocks took twice the time of the whole
// product on narrow tiles.) The zero lanes are never copied out.
template <typename Vec, typename Rows>
void product(const float* A, int lda, Rows B, const float* bias, float* C, int ldc, int m, int n, int k,
             float* tail_b, float* tail_c) {
    if (m <= 0 || n <= 0) return;
    constexpr int columns = Vec::lanes * Vec::vectors;
    const int rest = n % columns;
    const int whole = n - rest;
    const int width = padded_tail_width(n, columns, Vec::lanes);
    if (rest > 0) {
        const Rows last = B.shifted(whole);
        for (int p = 0; p < k; ++p) {
            const float* from = last.row(p);
            float* row = tail_b + size_t(p) * size_t(width);
            for (int j = 0; j < rest; ++j) row[j] = from[j];
            for (int j = rest; j < width; ++j) row[j] = 0.0f;
        }
    }
    // Long sums go in parts of equal length, each short enough that the
    // strip of B it reads stays in the first-level cache for every row
    // block.
    const int terms = k > 1 ? k : 1;
    const int parts = (terms + kMaxPart - 1) / kMaxPart;
    const int part_length = (terms + parts - 1) / parts;
    for (int p0 = 0; p0 < terms; p0 += part_length) {
        const int p1 = p0 + part_length < k ? p0 + part_length : k;
        const Part part{p0, p1, p0 == 0, p0 + part_length >= k};
        for (int j = 0; j < whole; j += columns) {
            strip<Vec, Vec::vectors>(A, lda, B.shifted(j), bias, C + j, ldc, m, part);
        }
        if (rest > 0) {
            narrow_strip<Vec, Vec::vectors>(width / Vec::lanes, A, lda, StridedRows{tail_b, width}, bias, tail_c,
                                            width, m, part);
        }
    }
    if (rest > 0) {
        for (int i = 0; i < m; ++i) {
            const float* from = tail_c + size_t(i) * size_t(width);
            float* to = C + size_t(i) * size_t(ldc) + whole;
            for (int j = 0; j < rest; ++j) to[j] = from[j];
        }
    }
}

}  // namespace
}  // namespace kx
