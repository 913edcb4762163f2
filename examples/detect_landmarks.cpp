// Finds the faces of a photo with kx::FaceAnalyzer, places 95 landmarks on
// each and writes the photo with boxes and landmarks drawn.
//
//   detect_landmarks PHOTO OUT.png [MODEL_DIR]
#include <cstdio>
#include <vector>

#include <kx/face_analyzer.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: detect_landmarks PHOTO OUT.png [MODEL_DIR]\n");
        return 2;
    }
    cv::Mat photo = cv::imread(argv[1], cv::IMREAD_COLOR);
    if (photo.empty()) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }

    // Loads the four models (it reports each on standard output).
    kx::FaceAnalyzer analyzer(argc > 3 ? argv[3] : KX_MODEL_DIR, /*max_faces=*/4);

    std::vector<cv::Rect> boxes;
    std::vector<float> scores;
    std::vector<cv::Mat> points5, points95;  // one 5 x 2 and one 95 x 2 float matrix per face
    analyzer.detectAlign95(photo, boxes, scores, points5, points95);

    for (size_t i = 0; i < boxes.size(); ++i) {
        std::printf("face %zu: box %d,%d %dx%d score %.3f\n", i, boxes[i].x, boxes[i].y, boxes[i].width,
                    boxes[i].height, scores[i]);
        cv::rectangle(photo, boxes[i], cv::Scalar(0, 255, 0), 2);
        for (int k = 0; k < points95[i].rows; ++k) {
            const cv::Point2f p(points95[i].at<float>(k, 0), points95[i].at<float>(k, 1));
            cv::circle(photo, p, 2, cv::Scalar(0, 255, 255), cv::FILLED);
        }
    }
    std::printf("%zu faces\n", boxes.size());

    if (!cv::imwrite(argv[2], photo)) {
        std::fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
