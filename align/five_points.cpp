#include "align/five_points.h"

#include <opencv2/imgproc.hpp>

#include "align/geometry.h"

namespace kx {

int alignFivePoints(Net& net, const cv::Mat& frame, const cv::Rect& box, cv::Mat& points) {
    if (frame.rows == 0) return -1;
    if (box.width <= 0 || box.height <= 0) return -1;

    cv::Mat crop;
    cropResized(box, frame, kCropSide, crop);
    if (crop.empty()) return -1;

    const BlobList outputs =
        net.forward_image(crop.data, kCropSide, kCropSide, static_cast<int>(crop.step));
    if (outputs.empty() || outputs[0] == nullptr || outputs[0]->data == nullptr ||
        outputs[0]->count < 10) {
        return -1;
    }

    // Network range -1..1 covers the crop; the crop covers the box. Both axes
    // use the width-based factor: callers hand in square boxes.
    const float* o = outputs[0]->data;
    const float side = static_cast<float>(kCropSide);
    const float scale = static_cast<float>(static_cast<double>(kCropSide) / box.width);
    cv::Mat result(5, 2, CV_32FC1);
    for (int i = 0; i < 5; ++i) {
        const float cx = o[2 * i] * side / 2.0f + side / 2.0f;
        const float cy = o[2 * i + 1] * side / 2.0f + side / 2.0f;
        result.at<float>(i, 0) = cx / scale + static_cast<float>(box.x);
        result.at<float>(i, 1) = cy / scale + static_cast<float>(box.y);
    }
    points = result;
    return 0;
}

}  // namespace kx
