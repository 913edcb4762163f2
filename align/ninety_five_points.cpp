#include "align/ninety_five_points.h"

#include <cmath>

#include "align/geometry.h"
#include "align/shape_regression.h"

namespace kx {

namespace {

constexpr int kShapePoints = 95;

bool is_shape95(const cv::Mat& m) {
    return m.rows == kShapePoints && m.cols == 2 && m.type() == CV_32FC1;
}

cv::Point2f row_point(const cv::Mat& shape, int row) {
    return cv::Point2f(shape.at<float>(row, 0), shape.at<float>(row, 1));
}

// The mean of two rows: their float sum halved in double, kept as float.
cv::Point2f row_mean(const cv::Mat& shape, int r0, int r1) {
    const cv::Point2f sum = row_point(shape, r0) + row_point(shape, r1);
    return cv::Point2f(static_cast<float>(sum.x * 0.5), static_cast<float>(sum.y * 0.5));
}

// Probability of the second class of two logits: exponentials taken in
// double and kept as float, so equal logits give exactly one half.
float face_score(float l0, float l1) {
    const float e0 = static_cast<float>(std::exp(static_cast<double>(l0)));
    const float e1 = static_cast<float>(std::exp(static_cast<double>(l1)));
    const float p = e1 / (e0 + e1);
    // Logits far from zero overflow or vanish; their order still decides.
    if (!std::isfinite(p)) return l1 > l0 ? 1.0f : 0.0f;
    return p;
}

// Groups of rows smoothed together, with their Gaussian width as a share of
// the eye distance: the jaw line moves most, the inner features least.
struct SmoothingGroup {
    int first;
    int count;
    double width;
};
constexpr SmoothingGroup kGroups[] = {
    {0, 19, 0.05}, {19, 20, 0.03}, {39, 24, 0.02}, {63, 12, 0.02}, {75, 20, 0.02}};

}  // namespace

int fivePointsFromShape(const cv::Mat& shape95, cv::Mat& points5) {
    if (!is_shape95(shape95)) return -1;
    points5.create(5, 2, CV_32FC1);
    const cv::Point2f points[5] = {row_mean(shape95, 39, 45), row_mean(shape95, 51, 57),
                                   row_mean(shape95, 65, 72), row_point(shape95, 87),
                                   row_point(shape95, 91)};
    for (int i = 0; i < 5; ++i) {
        points5.at<float>(i, 0) = points[i].x;
        points5.at<float>(i, 1) = points[i].y;
    }
    return 0;
}

int smoothShape(TrackedFace& state, const cv::Mat& shape) {
    if (!is_shape95(shape)) return -1;
    const float e = static_cast<float>(cv::norm(row_mean(shape, 51, 57) - row_mean(shape, 39, 45)));
    if (!(e > 0.0f) || !std::isfinite(e)) return -1;

    state.history.push_back(shape.clone());
    const size_t limit = static_cast<size_t>(std::max(state.history_limit, 1));
    while (state.history.size() > limit) state.history.pop_front();

    const double pi = std::acos(-1.0);
    const size_t ages = std::min(state.history.size(), state.weights.size());
    cv::Mat result(kShapePoints, 2, CV_32FC1);
    for (const SmoothingGroup& group : kGroups) {
        const float sigma = static_cast<float>(group.width * e);
        const double two_var = 2.0 * static_cast<double>(sigma) * sigma;
        const double norm = 1.0 / std::sqrt(2.0 * pi * static_cast<double>(sigma) * sigma);
        for (int i = group.first; i < group.first + group.count; ++i) {
            const cv::Point2f now = row_point(shape, i);
            double sum_w = 0.0, sum_x = 0.0, sum_y = 0.0;
            for (size_t a = 0; a < ages; ++a) {
                const cv::Mat& past = state.history[state.history.size() - 1 - a];
                if (!is_shape95(past)) continue;
                const cv::Point2f then = row_point(past, i);
                const double dist = cv::norm(now - then);
                const double w = std::exp(-dist * dist / two_var) * norm * state.weights[a];
                sum_w += w;
                sum_x += w * then.x;
                sum_y += w * then.y;
            }
            const bool usable = sum_w > 0.0 && std::isfinite(sum_w);
            result.at<float>(i, 0) = usable ? static_cast<float>(sum_x / sum_w) : now.x;
            result.at<float>(i, 1) = usable ? static_cast<float>(sum_y / sum_w) : now.y;
        }
    }
    state.shape = result;
    return 0;
}

int alignNinetyFivePoints(TrackedFace& state, Net& net95, const LandmarkModel& model,
                          const cv::Mat& frame, const FaceRecord& face, bool& isFace) {
    if (frame.rows == 0) return -1;
    cv::Mat crop, transform;
    if (warpFromFivePoints(frame, face.landmarks, crop, transform) != 0) return -1;

    const BlobList outputs =
        net95.forward_image(crop.data, kCropSide, kCropSide, static_cast<int>(crop.step));
    if (outputs.size() < 2) return -1;
    const Blob* points_blob = outputs[0];
    const Blob* logits_blob = outputs[1];
    if (points_blob == nullptr || points_blob->data == nullptr || points_blob->count < 2 * kShapePoints ||
        logits_blob == nullptr || logits_blob->data == nullptr || logits_blob->count < 2) {
        return -1;
    }

    const cv::Mat crop_points(kShapePoints, 2, CV_32FC1, points_blob->data);
    const float score = face_score(logits_blob->data[0], logits_blob->data[1]);

    const cv::Mat inverse = cropToImageMatrix(transform);
    if (inverse.empty()) return -1;
    cv::Mat shape;
    mapCropPointsToImage(crop_points, inverse, shape);
    if (shape.empty()) return -1;

    // Normalising box: eye centre C, mouth centre Q, d = |Q - C|; a square of
    // side 3d whose centre sits d/2 below C.
    const cv::Point2f eyes = (row_point(shape, 39) + row_point(shape, 45) + row_point(shape, 51) +
                              row_point(shape, 57)) * 0.25f;
    const cv::Point2f mouth = (row_point(shape, 87) + row_point(shape, 91)) * 0.5f;
    const float d = static_cast<float>(cv::norm(mouth - eyes));
    if (!(d > 0.0f) || !std::isfinite(d)) return -1;
    ShapeBox box;
    box.x = eyes.x - 1.5f * d;
    box.y = eyes.y - d;
    box.width = 3.0f * d;
    box.height = 3.0f * d;
    box.centre_x = box.x + 1.5f * d;
    box.centre_y = box.y + 1.5f * d;

    // The cascade shares out its trees on the network's threads.
    if (predictShape(model, frame, shape, box, net95.threads) != 0) return -1;

    if (isValidShape(state.shape)) {
        if (smoothShape(state, shape) != 0) return -1;
    } else {
        state.shape = shape;
    }
    isFace = score > 0.5f;
    return 0;
}

}  // namespace kx
