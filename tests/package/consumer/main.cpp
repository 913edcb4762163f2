// Finds the faces of a photo through both interfaces of an installed
// kx_tracker: the KXTracker_* functions and kx::FaceAnalyzer. Succeeds when
// both find the same faces, at least one.
//   consumer PHOTO [MODEL_DIR]
#include <cstdio>
#include <vector>

#include <kx/face_analyzer.h>
#include <kx/version.h>
#include <kx_tracker.h>
#include <opencv2/imgcodecs.hpp>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const char* models = argc > 2 ? argv[2] : KX_MODEL_DIR;
    cv::Mat photo = cv::imread(argv[1], cv::IMREAD_COLOR);
    if (photo.empty()) return 2;

    std::vector<cv::Rect> c_rects, cpp_rects;
    std::vector<float> c_scores, cpp_scores;
    KXTracker_init(models, 1);
    KXTracker_detect(photo, c_rects, c_scores);
    KXTracker_destroy();
    kx::FaceAnalyzer(models, 1).detect(photo, cpp_rects, cpp_scores);

    std::fprintf(stderr, "kx_tracker %s: %zu faces (C functions), %zu faces (kx::FaceAnalyzer)\n",
                 KX_TRACKER_VERSION, c_rects.size(), cpp_rects.size());
    return !c_rects.empty() && c_rects == cpp_rects ? 0 : 1;
}
