#include "net/gemm.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "net/layers/single_layer_harness.h"

namespace kx {
namespace {

// Both products against a plain triple loop in double precision, the second
// factor stored k x n (gemm) or n x k (gemm_nt), on small, odd, single-row or
// column and cache-blocked sizes. NaN in the output must be overwritten.
TEST(Gemm, MatchesPlainProductAndOverwritesOutput) {
    const int shapes[][3] = {{1, 1, 1}, {1, 7, 3}, {5, 1, 9}, {3, 4, 2}, {17, 33, 9}, {96, 529, 288},
                             {130, 70, 400}};
    unsigned seed = 1;
    for (const auto& s : shapes) {
        const int m = s[0], n = s[1], k = s[2];
        for (bool transposed : {false, true}) {
            SCOPED_TRACE(testing::Message() << m << "x" << n << "x" << k << (transposed ? " nt" : ""));
            const auto a = test::random_values(size_t(m) * k, seed++);
            const auto b = test::random_values(size_t(k) * n, seed++);
            std::vector<float> c(size_t(m) * n, std::numeric_limits<float>::quiet_NaN());
            (transposed ? gemm_nt : gemm)(a.data(), b.data(), c.data(), m, n, k);
            for (int i = 0; i < m; ++i)
                for (int j = 0; j < n; ++j) {
                    double want = 0.0;
                    for (int p = 0; p < k; ++p) {
                        const float bv = transposed ? b[size_t(j) * k + p] : b[size_t(p) * n + j];
                        want += double(a[size_t(i) * k + p]) * bv;
                    }
                    // Sums of k products of magnitude below 1.
                    ASSERT_NEAR(c[size_t(i) * n + j], want, 1e-6 * (k + 1)) << i << ", " << j;
                }
        }
    }
}

TEST(Gemm, EmptyShapes) {
    std::vector<float> c(6, 5.0f);
    gemm(nullptr, nullptr, c.data(), 0, 3, 4);
    gemm_nt(nullptr, nullptr, c.data(), 2, 0, 4);
    EXPECT_EQ(c, std::vector<float>(6, 5.0f));  // an empty output is left alone
    gemm(nullptr, nullptr, c.data(), 2, 3, 0);
    EXPECT_EQ(c, std::vector<float>(6, 0.0f));  // an empty inner dimension gives zeros
}

}  // namespace
}  // namespace kx
