#pragma once
// A colour photo as the grey image dlib's detectors and predictor read.
#include <dlib/array2d.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

inline dlib::array2d<unsigned char> to_dlib(const cv::Mat& bgr) {
    cv::Mat grey;
    cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
    dlib::array2d<unsigned char> img(grey.rows, grey.cols);
    for (int y = 0; y < grey.rows; ++y) {
        const unsigned char* row = grey.ptr<unsigned char>(y);
        for (int x = 0; x < grey.cols; ++x) img[y][x] = row[x];
    }
    return img;
}
