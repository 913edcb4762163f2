#pragma once
// The convolutions a face detector meets, each set up twice with the same
// weights and input: in our runtime and in OpenCV's dnn module, the reference
// the benchmarks compare against.
#include <memory>
#include <string>
#include <vector>

#include <opencv2/dnn.hpp>

#include "net/net.h"

namespace kx::bench {

struct ConvCase {
    std::string name;  // "3x480x640->16"
    int channels, height, width;
    int maps, ksize, stride, pad;
    bool cross = false;  // only the middle row and column of the kernel

    int taps() const { return cross ? 2 * ksize - 1 : ksize * ksize; }

    int out_height() const { return (height + 2 * pad - ksize) / stride + 1; }
    int out_width() const { return (width + 2 * pad - ksize) / stride + 1; }
    // Two operations per multiply-add of the taps used; the bias is not
    // counted.
    double flops() const { return 2.0 * maps * out_height() * out_width() * double(channels) * taps(); }
};

const std::vector<ConvCase>& conv_cases();

// Fixed pseudo-random weights (kernels then biases) and input in [-1, 1).
// A cross case has zeros off the cross, so that OpenCV, which knows no cross
// kernels, computes the same convolution with the whole square.
struct ConvData {
    std::vector<float> kernels;
    std::vector<float> biases;
    std::vector<float> input;
};
ConvData conv_data(const ConvCase& c);

// A one-layer network with the input already written to blob 0.
std::unique_ptr<Net> kx_conv_net(const ConvCase& c, const ConvData& data);
// The same convolution in OpenCV's dnn module (a cross case as the square
// kernel with its zeros, which is what OpenCV has to compute) on its own CPU back end, with
// the input set. `input` must outlive the net.
cv::dnn::Net opencv_conv_net(const ConvCase& c, const ConvData& data, cv::Mat& input);

// Runs both once and compares the outputs; on a mismatch answers false with
// a one-line explanation.
bool conv_outputs_agree(const ConvCase& c, std::string& message);

}  // namespace kx::bench
