// Every shipped model gives the same bits on 1, 2 and 4 threads: each
// network on its exported reference input, and the whole library path
// (detection, five and 95 points) through kx::FaceAnalyzer on the portraits.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "detect/detection_row.h"
#include "kx/face_analyzer.h"
#include "net/model_file.h"
#include "net/net.h"
#include "net/thread_pool.h"
#include "support/fixture.h"

namespace kx {
namespace {

const std::string kModels = std::string(KX_SOURCE_DIR) + "/models/";

bool exists(const std::string& path) { return std::ifstream(path).good(); }

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

std::vector<float> all_outputs(const Net& net) {
    std::vector<float> values;
    for (int id : net.output_ids) {
        const Blob* b = net.blobs[size_t(id)];
        values.insert(values.end(), b->data, b->data + b->count);
    }
    return values;
}

// One pass of the model on its parity input, on `threads` threads: the
// outputs of every item (and, for the detector, the decoded rows).
std::vector<float> run_model(const std::string& file, bool detector, int threads) {
    Net net;
    EXPECT_TRUE(loadNetFile(net, kModels + file, detector));
    ThreadPool pool(threads);
    net.threads = &pool;
    const std::string fixture = file.substr(0, file.find('.')) + ".fixture";
    const test::Fixture fx = test::load_fixture("../../models/parity/" + fixture);
    const test::Tensor& input = fx.tensor("input");
    std::vector<float> got;
    if (detector) {
        const int height = input.dims[2], width = input.dims[3];
        for (const DetectionRow& row : net.detect(input.values, {float(height), float(width), 1.0f}, 0.5f)) {
            got.insert(got.end(), {row.x, row.y, row.width, row.height, row.score});
        }
        const std::vector<float> outputs = all_outputs(net);
        got.insert(got.end(), outputs.begin(), outputs.end());
        return got;
    }
    const size_t per_item = input.values.size() / size_t(input.dims[0]);
    for (int n = 0; n < input.dims[0]; ++n) {
        const float* item = input.values.data() + size_t(n) * per_item;
        std::copy(item, item + per_item, net.blobs[0]->data);
        net.forward();
        const std::vector<float> outputs = all_outputs(net);
        got.insert(got.end(), outputs.begin(), outputs.end());
    }
    return got;
}

TEST(ShippedModelsOnThreads, EveryNetworkGivesTheSameBits) {
    const struct {
        const char* file;
        bool detector;
    } models[] = {
        {"frcnn_full_cross_500000.dat", true},
        {"cdcn_iter_500000.dat", false},
        {"cdcn95_verify_iter_50000.dat", false},
    };
    int checked = 0;
    for (const auto& model : models) {
        if (!exists(kModels + model.file)) continue;
        SCOPED_TRACE(model.file);
        const std::vector<float> one = run_model(model.file, model.detector, 1);
        ASSERT_FALSE(one.empty());
        for (int threads : {2, 4}) {
            EXPECT_TRUE(same_bits(run_model(model.file, model.detector, threads), one)) << threads << " threads";
        }
        ++checked;
    }
    if (checked == 0) GTEST_SKIP() << "no network is shipped yet";
}

struct Found {
    std::vector<cv::Rect> rects;
    std::vector<float> scores;
    std::vector<float> points;  // five, then 95 points of every face, flattened
};

Found analyse(int threads, const cv::Mat& image) {
    FaceAnalyzer analyzer;
    analyzer.setThreads(threads);
    testing::internal::CaptureStdout();
    analyzer.start(kModels, 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(analyzer.threads(), threads);
    Found found;
    std::vector<cv::Mat> points5, points95;
    analyzer.detectAlign95(image, found.rects, found.scores, points5, points95);
    for (const std::vector<cv::Mat>* set : {&points5, &points95}) {
        for (const cv::Mat& m : *set) found.points.insert(found.points.end(), m.begin<float>(), m.end<float>());
    }
    return found;
}

TEST(ShippedModelsOnThreads, TheLibraryPathGivesTheSameBits) {
    for (const char* name : {"frcnn_full_cross_500000.dat", "model95_tern.bin", "cdcn_iter_500000.dat",
                             "cdcn95_verify_iter_50000.dat"}) {
        if (!exists(kModels + name)) GTEST_SKIP() << name << " is not shipped yet";
    }
    for (const char* sample : {"obama.jpg", "biden.jpg"}) {
        const cv::Mat image = cv::imread(std::string(KX_SOURCE_DIR) + "/samples/" + sample, cv::IMREAD_COLOR);
        if (image.empty()) continue;
        SCOPED_TRACE(sample);
        const Found one = analyse(1, image);
        ASSERT_FALSE(one.rects.empty()) << "no face found: nothing to compare";
        ASSERT_FALSE(one.points.empty());
        for (int threads : {2, 4}) {
            const Found many = analyse(threads, image);
            EXPECT_EQ(many.rects, one.rects) << threads << " threads";
            EXPECT_TRUE(same_bits(many.scores, one.scores)) << threads << " threads";
            EXPECT_TRUE(same_bits(many.points, one.points)) << threads << " threads";
        }
    }
}

}  // namespace
}  // namespace kx
