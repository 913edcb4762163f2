#pragma once
// The 640 x 480 frame the whole-library benchmarks run on, ours and the
// peer detectors alike.
#include <opencv2/core.hpp>

namespace kx::bench {

// The bundled portrait scaled to cover 640 x 480 and cut around its top
// centre; a grey frame when the portrait is missing.
cv::Mat benchFrame();

}  // namespace kx::bench
