// The tiled convolution: the product kernels against a double-precision
// reference, and the whole layer against a direct convolution, with its
// result the same to the bit on every thread count and kernel.
#include <cmath>
#include <cstring>
#include <limits>

#include "net/layers/tile_product.h"
#include "net/layers/single_layer_harness.h"
#include "net/thread_pool.h"

namespace kx::test {
namespace {

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// The product kernels this CPU runs: the one the library picks, and AVX2
// as well where that is AVX-512.
std::vector<ProductKernel> kernels_here() {
    std::vector<ProductKernel> kernels{tile_product_kernel()};
    if (kernels[0] == ProductKernel::avx512) kernels.push_back(ProductKernel::avx2);
    return kernels;
}

// Runs the product with another kernel while it lives.
class KernelChoice {
public:
    explicit KernelChoice(ProductKernel kernel) : before_(tile_product_kernel()) {
        EXPECT_TRUE(use_tile_product_kernel(kernel));
    }
    ~KernelChoice() { use_tile_product_kernel(before_); }

private:
    ProductKernel before_;
};

// Sizes around the register blocks (4 x 24 for AVX2, 8 x 32 for AVX-512),
// with row strides wider than the rows, on every kernel this CPU runs: the
// outputs must be right, the values between rows (sentinels) untouched,
// and any cut of the outputs into pieces must give the same bits.
TEST(TileProduct, MatchesAReferenceAndIgnoresHowOutputsAreCut) {
    const float sentinel = std::numeric_limits<float>::quiet_NaN();
    for (ProductKernel kernel : kernels_here()) {
        const KernelChoice choice(kernel);
        for (int m : {1, 3, 4, 5, 8, 9, 17}) {
            for (int n : {1, 8, 23, 24, 25, 32, 33, 50, 70}) {
                for (int k : {0, 1, 7, 40, 400}) {
                    SCOPED_TRACE(testing::Message() << "kernel " << int(kernel) << ": " << m << " x " << n << " x " << k);
                    const int lda = k + 3, ldb = n + 5, ldc = n + 2;
                    const std::vector<float> A = random_values(size_t(m) * lda, 1u + m);
                    const std::vector<float> B = random_values(size_t(k) * ldb, 2u + n);
                    const std::vector<float> bias = random_values(size_t(m), 3u + k);

                    std::vector<float> whole(size_t(m) * ldc, sentinel);
                    tile_product(A.data(), lda, B.data(), ldb, bias.data(), whole.data(), ldc, m, n, k);
                    for (int i = 0; i < m; ++i) {
                        for (int j = 0; j < ldc; ++j) {
                            const float got = whole[size_t(i) * ldc + j];
                            if (j >= n) {
                                EXPECT_TRUE(std::isnan(got)) << "written past the row at " << i << "," << j;
                                continue;
                            }
                            double want = bias[size_t(i)];
                            for (int p = 0; p < k; ++p) want += double(A[size_t(i) * lda + p]) * B[size_t(p) * ldb + j];
                            EXPECT_NEAR(got, want, 1e-5 * (1 + k)) << i << "," << j;
    #if defined(__AVX2__) && defined(__FMA__)
                            // The promised order: one fused multiply-add per term
                            // from zero, in input order, then the bias.
                            float chain = 0.0f;
                            for (int p = 0; p < k; ++p) chain = std::fma(A[size_t(i) * lda + p], B[size_t(p) * ldb + j], chain);
                            EXPECT_EQ(got, chain + bias[size_t(i)]) << i << "," << j;
    #endif
                        }
                    }

                    // Rows one at a time, columns in pieces of 5.
                    std::vector<float> pieces(size_t(m) * ldc, sentinel);
                    for (int i = 0; i < m; ++i) {
                        for (int j = 0; j < n; j += 5) {
                            tile_product(A.data() + size_t(i) * lda, lda, B.data() + j, ldb, bias.data() + i,
                                         pieces.data() + size_t(i) * ldc + j, ldc, 1, std::min(5, n - j), k);
                        }
                    }
                    for (int i = 0; i < m; ++i) {
                        const std::vector<float> a(whole.begin() + i * ldc, whole.begin() + i * ldc + n);
                        const std::vector<float> b(pieces.begin() + i * ldc, pieces.begin() + i * ldc + n);
                        EXPECT_TRUE(same_bits(a, b)) << "row " << i;
                    }
                }
            }
        }
    }
}

struct ConvShape {
    const char* why;
    int channels, height, width, maps, ksize, stride, pad;
    bool cross;
};

// Direct convolution in double precision: every tap, or the cross taps only.
std::vector<float> direct_convolution(const ConvShape& s, const std::vector<float>& in, const Blob& kernels,
                                      const Blob& biases) {
    const int oh = (s.height + 2 * s.pad - s.ksize) / s.stride + 1;
    const int ow = (s.width + 2 * s.pad - s.ksize) / s.stride + 1;
    const int centre = (s.ksize - 1) / 2;
    std::vector<float> out;
    for (int m = 0; m < s.maps; ++m) {
        for (int oy = 0; oy < oh; ++oy) {
            for (int ox = 0; ox < ow; ++ox) {
                double sum = biases.data[m];
                for (int c = 0; c < s.channels; ++c) {
                    for (int ky = 0; ky < s.ksize; ++ky) {
                        for (int kx = 0; kx < s.ksize; ++kx) {
                            if (s.cross && ky != centre && kx != centre) continue;
                            const int y = oy * s.stride - s.pad + ky, x = ox * s.stride - s.pad + kx;
                            if (y < 0 || y >= s.height || x < 0 || x >= s.width) continue;
                            const float w = kernels.data[((size_t(m) * s.channels + c) * s.ksize + ky) * s.ksize + kx];
                            sum += double(w) * in[(size_t(c) * s.height + y) * s.width + x];
                        }
                    }
                }
                out.push_back(float(sum));
            }
        }
    }
    return out;
}

// The detector's kinds of layer (a wide first layer with stride 4 or 2,
// 5 x 5 cross mode, 1 x 1, 3 x 3) at sizes large enough to be shared out,
// and small deep ones that are split by output maps instead of rows.
TEST(ConvLayerThreads, SameBitsOnEveryThreadCountAndRightValues) {
    const ConvShape shapes[] = {
        {"first layer, stride 4", 3, 97, 130, 16, 4, 4, 0, false},
        // Rows as wide as their phases need are dealt out in place: 33 and
        // 5 columns a phase, whole runs of eight and what is left.
        {"stride 4, rows dealt in place", 3, 50, 132, 16, 4, 4, 0, false},
        {"stride 4, narrow rows", 2, 21, 20, 8, 4, 4, 0, false},
        {"first layer, stride 2", 3, 61, 83, 16, 3, 2, 1, false},
        {"5 x 5 cross", 16, 30, 41, 32, 5, 1, 2, true},
        {"1 x 1", 32, 30, 40, 18, 1, 1, 0, false},
        {"3 x 3, 64 maps", 32, 17, 23, 64, 3, 1, 1, false},
        {"small and deep", 64, 6, 6, 96, 3, 1, 0, false},
        {"odd map count, uneven stride", 5, 80, 75, 10, 3, 2, 1, false},
        // More padded rows after the last output row's than any band holds.
        {"stride 3, wide padding", 4, 40, 37, 8, 5, 3, 4, false},
    };
    for (const ConvShape& s : shapes) {
        SCOPED_TRACE(s.why);
        LayerHarness h("type:conv,ksize:" + std::to_string(s.ksize) + ",stride:" + std::to_string(s.stride) +
                       ",pad:" + std::to_string(s.pad) + ",map_num:" + std::to_string(s.maps) +
                       ",use_cross_conv:" + std::string(s.cross ? "1" : "0") + ",");
        h.set_bottom(0, {s.channels, s.height, s.width});
        ASSERT_TRUE(h.setup());
        const std::vector<float> input = values_of(*h.bottoms[0]);

        EXPECT_EQ(h.run(), "");
        const std::vector<float> alone = h.top_values();
        expect_close(alone, direct_convolution(s, input, *h.layer->weights[0], *h.layer->weights[1]), 2e-5, 1e-5);

        for (int threads : {2, 3, 4}) {
            ThreadPool pool(threads);
            h.layer->threads = &pool;
            std::fill(h.top().data, h.top().data + h.top().count, 0.0f);
            EXPECT_EQ(h.run(), "");
            h.layer->threads = nullptr;
            EXPECT_TRUE(same_bits(h.top_values(), alone)) << threads << " threads";
        }
        // The narrower kernel cuts the tiles otherwise, to the same bits.
        for (ProductKernel kernel : kernels_here()) {
            const KernelChoice choice(kernel);
            std::fill(h.top().data, h.top().data + h.top().count, 0.0f);
            EXPECT_EQ(h.run(), "");
            EXPECT_TRUE(same_bits(h.top_values(), alone)) << "kernel " << int(kernel);
        }
    }
}

// The pass reuses the top's storage while the shape holds, and follows a
// new input size (which needs larger tiles) with the right values.
TEST(ConvLayerThreads, FollowsANewInputSizeOnTheSameThreads) {
    const ConvShape small{"", 4, 12, 15, 8, 3, 1, 1, false};
    const ConvShape large{"", 4, 50, 70, 8, 3, 1, 1, false};
    LayerHarness h("type:conv,ksize:3,pad:1,map_num:8,");
    h.set_bottom(0, {small.channels, small.height, small.width});
    ASSERT_TRUE(h.setup());
    ThreadPool pool(2);
    h.layer->threads = &pool;
    EXPECT_EQ(h.run(), "");
    const float* storage = h.top().data;
    EXPECT_EQ(h.run(), "");
    EXPECT_EQ(h.top().data, storage);
    for (const ConvShape& s : {large, small}) {
        h.set_bottom(0, {s.channels, s.height, s.width});
        EXPECT_EQ(h.run(), "");
        expect_shape(h.top(), {8, s.height, s.width});
        expect_close(h.top_values(),
                     direct_convolution(s, values_of(*h.bottoms[0]), *h.layer->weights[0], *h.layer->weights[1]),
                     2e-5, 1e-5);
    }
}

// The other shared-out layers: pooling by channel, fully connected by
// output blocks, relu and prelu by chunks; each the same to the bit on one
// and on three threads.
TEST(LayerThreads, PoolFullConnectReluAndPreluGiveTheSameBits) {
    struct Case {
        const char* params;
        Shape bottom;
    };
    const Case cases[] = {
        {"type:pool,ksize:2,ksize_w:0,ksize_h:0,", {40, 96, 96}},
        {"type:pool,ksize:3,ksize_w:0,ksize_h:0,stride:2,pad:1,pool:ave,", {40, 96, 96}},
        {"type:fullconnect,node_num:203,", {96, 4, 4}},
        {"type:relu,", {32, 60, 80}},
        {"type:prelu,param_level:1,channels:32,height:1,width:1,", {32, 60, 80}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.params);
        LayerHarness h(c.params);
        h.set_bottom(0, c.bottom);
        ASSERT_TRUE(h.setup());
        EXPECT_EQ(h.run(), "");
        const std::vector<float> alone = h.top_values();
        ThreadPool pool(3);
        h.layer->threads = &pool;
        std::fill(h.top().data, h.top().data + h.top().count, -1.0f);
        EXPECT_EQ(h.run(), "");
        h.layer->threads = nullptr;
        EXPECT_TRUE(same_bits(h.top_values(), alone));
    }
}

}  // namespace
}  // namespace kx::test
