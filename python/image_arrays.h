#pragma once
// NumPy arrays in and out of the Python module: checked image and box
// arguments viewed as OpenCV types, and results as arrays.
#include <vector>

#include <opencv2/core.hpp>
#include <pybind11/numpy.h>

namespace kx::python {

namespace py = pybind11;

// An image argument seen as an 8-bit three-channel cv::Mat. The matrix
// shares the array's memory; `array` keeps that memory alive (a copy when
// the argument was not C-contiguous).
struct ImageArgument {
    py::array array;
    cv::Mat mat;
};

// Accepts a numpy.ndarray of dtype uint8 and shape (H, W, 3), blue-green-red.
// Anything else raises TypeError (not an array, another dtype) or ValueError
// (another shape) naming what is expected.
ImageArgument imageArgument(const py::handle& object, const char* name);

// Accepts face boxes as an (N, 4) array-like of integers x, y, w, h.
std::vector<cv::Rect> boxesArgument(const py::handle& object);

// (N, 4) int32: x, y, w, h of each box.
py::array boxesArray(const std::vector<cv::Rect>& rects);
// (N,) float32.
py::array scoresArray(const std::vector<float>& scores);
// (N, count, 2) float32 from N point sets of count x 2 floats.
py::array pointsArray(const std::vector<cv::Mat>& sets, int count);

}  // namespace kx::python
