#pragma once
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "detect/face_record.h"

namespace kx {

// A face detector: loaded once from a model directory, then asked for the
// faces of any number of images.
class Detector {
public:
    Detector() = default;
    Detector(const Detector&) = delete;
    Detector& operator=(const Detector&) = delete;

    // Reads the model from `model_dir`. The two integers are free for a
    // detector's own use (callers pass 0 and the number of faces they track).
    // A failed load is reported on the console; the detector then finds
    // nothing.
    virtual void load(const std::string& model_dir, int mode, int max_faces) = 0;
    // Replaces the contents of `faces` with the faces found in `image`, best
    // first.
    virtual void detect(const cv::Mat& image, std::vector<FaceRecord>& faces) = 0;
    // Frees the model; the detector finds nothing afterwards.
    virtual void release() = 0;

    virtual ~Detector() = default;
};

}  // namespace kx
