#include "align/tracked_face.h"

#include <cmath>

namespace kx {

std::vector<float> historyAgeWeights() {
    const double pi = std::acos(-1.0);
    std::vector<float> weights(kHistoryLimit);
    for (int a = 0; a < kHistoryLimit; ++a) {
        weights[static_cast<size_t>(a)] =
            static_cast<float>(std::exp(-static_cast<double>(a) * a / 200.0) / std::sqrt(200.0 * pi));
    }
    return weights;
}

FaceRecord zeroKeyPoints() {
    FaceRecord face;
    face.landmarks = cv::Mat::zeros(5, 2, CV_32FC1);
    face.points.assign(5, cv::Point2f(0.0f, 0.0f));
    return face;
}

bool isValidShape(const cv::Mat& shape) {
    return shape.rows > 0 && cv::norm(shape, cv::NORM_L2) != 0.0;
}

void resetTrackedFace(TrackedFace& entry) {
    if (!entry.shape.empty()) entry.shape.setTo(cv::Scalar::all(0));
    entry.active = false;
}

}  // namespace kx
