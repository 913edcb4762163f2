// eval_align_photos: landmarks on whole photos as a user gets them, for the
// in-the-wild comparison: the library's KXTracker_detect_align5 and
// KXTracker_detect_align95 (models of MODELS_DIR) and dlib's HOG frontal face
// detector followed by its 68-point shape predictor, on the same photos.
//
//   eval_align_photos MODELS_DIR PREDICTOR.dat LIST.txt OUT.txt [SIDE]
//
// LIST.txt: one photo path per line, read in colour. With SIDE, every photo is
// first resized (bilinear) so that its longer side is SIDE pixels, the way a
// user's photo of another size would come in; every point is then mapped back
// to the stored photo's pixels (pixel centres kept: x = (x' + 0.5) / k - 0.5).
// OUT.txt: one line per face found, "METHOD PHOTO_INDEX x y w h score v...":
//   kx5   10 values: the five points of KXTracker_detect_align5
//   kx95  10 + 190 values: the five points and the 95 points of
//         KXTracker_detect_align95
//   dlib  136 values: the 68 points of dlib's predictor on its HOG box
// (boxes in stored-photo pixels; dlib's score is its detection confidence).
// Prints the number of photos and the median milliseconds per photo of each
// method (detection and landmarks together).
#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "dlib_image.h"
#include "kx_tracker.h"

namespace {

struct Scaler {
    double k = 1.0;  // stored photo -> photo the methods see
    double back(double v) const { return (v + 0.5) / k - 0.5; }
};

void write_face(std::ofstream& out, const char* method, int index, const Scaler& s, const cv::Rect& r, float score,
                const std::vector<const cv::Mat*>& point_sets) {
    out << method << ' ' << index << ' ' << s.back(r.x) << ' ' << s.back(r.y) << ' ' << r.width / s.k << ' '
        << r.height / s.k << ' ' << score;
    for (const cv::Mat* m : point_sets) {
        for (int i = 0; i < m->rows; ++i) out << ' ' << s.back(m->at<float>(i, 0)) << ' ' << s.back(m->at<float>(i, 1));
    }
    out << '\n';
}

double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: eval_align_photos MODELS_DIR PREDICTOR.dat LIST.txt OUT.txt [SIDE]\n");
        return 2;
    }
    const int side = argc == 6 ? std::atoi(argv[5]) : 0;
    dlib::shape_predictor predictor;
    try {
        dlib::deserialize(argv[2]) >> predictor;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "eval_align_photos: cannot read predictor %s: %s\n", argv[2], e.what());
        return 1;
    }
    dlib::frontal_face_detector hog = dlib::get_frontal_face_detector();
    std::ifstream list(argv[3]);
    std::ofstream out(argv[4]);
    if (!list || !out) {
        std::fprintf(stderr, "eval_align_photos: cannot read %s or write %s\n", argv[3], argv[4]);
        return 1;
    }
    out.precision(9);
    KXTracker_init(argv[1], 1);

    std::vector<double> ms5, ms95, msdlib;
    std::string path;
    int index = 0;
    while (std::getline(list, path)) {
        if (path.empty()) continue;
        cv::Mat img = cv::imread(path, cv::IMREAD_COLOR);
        if (img.empty()) {
            std::fprintf(stderr, "eval_align_photos: cannot read %s\n", path.c_str());
            KXTracker_destroy();
            return 1;
        }
        Scaler s;
        if (side > 0) {
            s.k = double(side) / std::max(img.rows, img.cols);
            cv::resize(img, img, cv::Size(), s.k, s.k, cv::INTER_LINEAR);
        }

        std::vector<cv::Rect> rects;
        std::vector<float> scores;
        std::vector<cv::Mat> p5, p95;
        auto t0 = std::chrono::steady_clock::now();
        KXTracker_detect_align5(img, rects, scores, p5);
        ms5.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        for (size_t i = 0; i < rects.size(); ++i) write_face(out, "kx5", index, s, rects[i], scores[i], {&p5[i]});

        t0 = std::chrono::steady_clock::now();
        KXTracker_detect_align95(img, rects, scores, p5, p95);
        ms95.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        for (size_t i = 0; i < rects.size(); ++i) {
            write_face(out, "kx95", index, s, rects[i], scores[i], {&p5[i], &p95[i]});
        }

        t0 = std::chrono::steady_clock::now();
        dlib::array2d<unsigned char> d = to_dlib(img);
        std::vector<dlib::rect_detection> dets;
        hog(d, dets);
        std::vector<cv::Mat> shapes;
        for (const auto& r : dets) {
            const dlib::full_object_detection shape = predictor(d, r.rect);
            cv::Mat m(68, 2, CV_32FC1);
            for (int i = 0; i < 68; ++i) {
                m.at<float>(i, 0) = float(shape.part(i).x());
                m.at<float>(i, 1) = float(shape.part(i).y());
            }
            shapes.push_back(m);
        }
        msdlib.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        for (size_t i = 0; i < dets.size(); ++i) {
            const auto& r = dets[i].rect;
            write_face(out, "dlib", index, s, cv::Rect(int(r.left()), int(r.top()), int(r.width()), int(r.height())),
                       float(dets[i].detection_confidence), {&shapes[i]});
        }
        ++index;
    }
    KXTracker_destroy();
    std::printf("photos: %d, median ms per photo: align5 %.3f, align95 %.3f, dlib %.3f\n", index, median(ms5),
                median(ms95), median(msdlib));
    return 0;
}
