// Follows faces through a video file, or a camera given by its index, with
// the KXTracker_* functions; prints where the faces are in every frame and
// can write the video with the tracked landmarks drawn.
//
//   track_video VIDEO|CAMERA_INDEX [OUT.avi] [MODEL_DIR]
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <kx_tracker.h>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: track_video VIDEO|CAMERA_INDEX [OUT.avi] [MODEL_DIR]\n");
        return 2;
    }
    const std::string input = argv[1];
    const bool camera = !input.empty() && std::isdigit(static_cast<unsigned char>(input[0])) &&
                        input.find_first_not_of("0123456789") == std::string::npos;
    // OpenCV tries every video back-end on a name it cannot open, each with
    // its own warnings: a missing file is better told apart first.
    if (!camera && !std::filesystem::exists(input)) {
        std::fprintf(stderr, "no such file: %s\n", input.c_str());
        return 1;
    }
    cv::VideoCapture capture;
    if (camera ? !capture.open(std::atoi(input.c_str())) : !capture.open(input)) {
        std::fprintf(stderr, "cannot open %s\n", input.c_str());
        return 1;
    }

    // One process-wide tracker: models, and up to four faces followed at once.
    KXTracker_init(argc > 3 ? argv[3] : KX_MODEL_DIR, 4);

    cv::VideoWriter writer;
    std::vector<cv::Mat> shapes;  // one 95 x 2 float matrix per tracked face
    int frames = 0, status = 0;
    for (cv::Mat frame; capture.read(frame) && !frame.empty(); ++frames) {
        KXTracker_track(frame, shapes);

        std::printf("frame %d: %zu faces", frames, shapes.size());
        for (const cv::Mat& shape : shapes) {
            const cv::Scalar centre = cv::mean(shape.reshape(2));
            std::printf(" (%.1f, %.1f)", centre[0], centre[1]);
        }
        std::printf("\n");

        if (argc > 2) {
            if (!writer.isOpened() &&
                !writer.open(argv[2], cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25.0, frame.size())) {
                std::fprintf(stderr, "cannot write %s\n", argv[2]);
                status = 1;
                break;
            }
            for (const cv::Mat& shape : shapes) {
                for (int k = 0; k < shape.rows; ++k) {
                    cv::circle(frame, cv::Point2f(shape.at<float>(k, 0), shape.at<float>(k, 1)), 2,
                               cv::Scalar(0, 255, 255), cv::FILLED);
                }
            }
            writer.write(frame);
        }
    }
    KXTracker_destroy();
    if (frames == 0) std::fprintf(stderr, "no frames could be read from %s\n", input.c_str());
    return frames > 0 ? status : 1;
}
