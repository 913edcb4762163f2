#include "net/layers/tile_product.h"

#include <atomic>
#include <cstddef>
#include <type_traits>
#include <vector>

#include "net/layers/tile_product_avx512.h"

#if defined(__AVX2__) && defined(__FMA__)
#include <immintrin.h>
#define KX_TILE_PRODUCT_AVX2 1
#endif

#include "net/layers/tile_product_kernel.h"

namespace kx {

namespace {

#if KX_TILE_PRODUCT_AVX2
struct Ymm {
    using vec = __m256;
    static constexpr int lanes = 8;
    static constexpr int rows = 4;
    static constexpr int vectors = 3;
    static vec zero() { return _mm256_setzero_ps(); }
    static vec load(const float* p) { return _mm256_loadu_ps(p); }
    static vec set1(float x) { return _mm256_set1_ps(x); }
    static void store(float* p, vec v) { _mm256_storeu_ps(p, v); }
    static vec fmadd(vec a, vec b, vec c) { return _mm256_fmadd_ps(a, b, c); }
    static vec add(vec a, vec b) { return _mm256_add_ps(a, b); }
};
#endif

// Without AVX2: a product then a sum per term, in the same order.
template <typename Rows>
void plain_product(const float* A, int lda, Rows B, const float* bias, float* C, int ldc, int m, int n, int k) {
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

bool cpu_has_avx512() {
#if defined(KX_TILE_PRODUCT_AVX512) && KX_TILE_PRODUCT_AVX2
    return __builtin_cpu_supports("avx512f");
#else
    return false;
#endif
}

ProductKernel best_kernel() {
    if (cpu_has_avx512()) return ProductKernel::avx512;
#if KX_TILE_PRODUCT_AVX2
    return ProductKernel::avx2;
#else
    return ProductKernel::plain;
#endif
}

std::atomic<ProductKernel>& kernel_in_use() {
    static std::atomic<ProductKernel> kernel{best_kernel()};
    return kernel;
}

// The padded tail's buffers (see product in tile_product_kernel.h), kept
// per thread: k and m rows of the tail's columns rounded up to vectors.
struct TailScratch {
    std::vector<float> b;
    std::vector<float> c;
};

template <int kColumns, int kLanes>
TailScratch& tail_scratch(int m, int n, int k) {
    thread_local TailScratch tail;
    const int width = padded_tail_width(n, kColumns, kLanes);
    // Only ever grown: the layers of a network take turns on the same
    // buffers, and shrinking them for one would zero-fill them again for
    // the next.
    if (width > 0) {
        const size_t b = size_t(k > 1 ? k : 1) * size_t(width);
        const size_t c = size_t(m) * size_t(width);
        if (tail.b.size() < b) tail.b.resize(b);
        if (tail.c.size() < c) tail.c.resize(c);
    }
    return tail;
}

template <typename Rows>
void run_kernel(const float* A, int lda, Rows B, const float* bias, float* C, int ldc, int m, int n, int k) {
    if (m <= 0 || n <= 0) return;
    switch (kernel_in_use().load(std::memory_order_relaxed)) {
#if defined(KX_TILE_PRODUCT_AVX512) && KX_TILE_PRODUCT_AVX2
        case ProductKernel::avx512: {
            TailScratch& tail = tail_scratch<avx512::kColumns, avx512::kLanes>(m, n, k);
            if constexpr (std::is_same_v<Rows, TableRows>) {
                avx512::product(A, lda, B.base, 0, B.offsets, bias, C, ldc, m, n, k, tail.b.data(), tail.c.data());
            } else {
                avx512::product(A, lda, B.base, B.stride, nullptr, bias, C, ldc, m, n, k, tail.b.data(),
                                tail.c.data());
            }
            return;
        }
#endif
#if KX_TILE_PRODUCT_AVX2
        case ProductKernel::avx2: {
            TailScratch& tail = tail_scratch<Ymm::lanes * Ymm::vectors, Ymm::lanes>(m, n, k);
            product<Ymm>(A, lda, B, bias, C, ldc, m, n, k, tail.b.data(), tail.c.data());
            return;
        }
#endif
        default:
            plain_product(A, lda, B, bias, C, ldc, m, n, k);
    }
}

}  // namespace

ProductKernel tile_product_kernel() { return kernel_in_use().load(); }

bool use_tile_product_kernel(ProductKernel kernel) {
    // Only kernels that give the best one's bits: the plain one sums a
    // product and a sum per term where the others fuse them.
    const ProductKernel best = best_kernel();
    const bool available = kernel == best || (kernel == ProductKernel::avx2 && best == ProductKernel::avx512);
    if (available) kernel_in_use().store(kernel);
    return available;
}

int tile_product_columns() {
    switch (tile_product_kernel()) {
        case ProductKernel::avx512: return avx512::kColumns;
        default: return 24;
    }
}

void tile_product(const float* A, int lda, const float* B, int ldb, const float* bias, float* C, int ldc, int m,
                  int n, int k) {
    run_kernel(A, lda, StridedRows{B, ldb}, bias, C, ldc, m, n, k);
}

void tile_product_rows(const float* A, int lda, const float* B, const int* row_offsets, const float* bias, float* C,
                       int ldc, int m, int n, int k) {
    run_kernel(A, lda, TableRows{B, row_offsets}, bias, C, ldc, m, n, k);
}

}  // namespace kx
