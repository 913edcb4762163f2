// The regression-cascade reader on any bytes, then a prediction with what it
// read on a fixed picture, from a shape inside it and from one mostly outside.
#include <cstdint>

#include <opencv2/core.hpp>

#include "align/landmark_model.h"
#include "align/shape_regression.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kx::LandmarkModel model;
    std::string error;
    if (!model.parse(reinterpret_cast<const char*>(data), size, error)) return 0;

    static const cv::Mat frame = [] {
        cv::Mat f(80, 100, CV_8UC1);
        for (int y = 0; y < f.rows; ++y)
            for (int x = 0; x < f.cols; ++x) f.at<uchar>(y, x) = uchar((x * 7 + y * 13) % 256);
        return f;
    }();
    const kx::ShapeBox box{20, 10, 60, 60, 50, 40};
    for (const float offset : {0.0f, 150.0f}) {
        cv::Mat shape(95, 2, CV_32FC1);
        for (int i = 0; i < 95; ++i) {
            shape.at<float>(i, 0) = 25.0f + float(i % 10) * 5.0f + offset;
            shape.at<float>(i, 1) = 15.0f + float(i / 10) * 5.0f;
        }
        kx::predictShape(model, frame, shape, box);
    }
    return 0;
}
