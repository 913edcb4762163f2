// eval_detector: runs face detectors over listed photos, for the detector's
// quality and speed figures: the library's KXTracker_detect (with the models
// in MODELS_DIR), OpenCV's Haar cascade (frontalface_alt2, scale 1.1, three
// neighbours) and dlib's HOG frontal face detector, as it is and on the photo
// enlarged twice (dlib's way of reaching faces below its 80-pixel window).
// haar_640 is the cascade on the photo shrunk as KXTracker_detect shrinks it
// (at most 640 px on a side, bilinear), its boxes scaled back: it tells what
// the cascade owes to the full-size photo.
//
//   eval_detector detect MODELS_DIR LIST.txt OUT.csv [METHOD,...]
//       LIST.txt: one photo path per line. OUT.csv: method,photo,x,y,w,h,score
//       (score 0 where a method has none). Photos are read in colour.
//       Methods: kx, haar, haar_640, dlib, dlib_up (default: all).
//   eval_detector points5 MODELS_DIR LIST.txt OUT.csv
//       KXTracker_detect_align5 on every listed photo: OUT.csv rows
//       photo,x,y,w,h,score,x0,y0,...,x4,y4 (the five points of each face),
//       for the five-point error on detected faces.
//   eval_detector time MODELS_DIR PHOTO RUNS [PEERS_DIR [OPENCV_THREADS]]
//       fits PHOTO to 640 x 480 (scaled to cover, centre cut) and prints the
//       median and mean milliseconds of RUNS calls of every method; with
//       PEERS_DIR also YuNet 2022 through cv::FaceDetectorYN (score 0.9,
//       input size set once), with OPENCV_THREADS OpenCV's thread count.
#include <dlib/image_processing/frontal_face_detector.h>
#include <dlib/image_transforms.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "dlib_image.h"
#include "kx_tracker.h"

namespace {

const char* kHaarPath = "/usr/share/opencv4/haarcascades/haarcascade_frontalface_alt2.xml";
const int kWorkingSide = 640;  // KXTracker_detect's working-image bound

struct Found {
    cv::Rect box;
    float score;
};

using Method = std::function<std::vector<Found>(cv::Mat&)>;

struct Methods {
    cv::CascadeClassifier haar;
    dlib::frontal_face_detector hog = dlib::get_frontal_face_detector();

    std::vector<std::pair<std::string, Method>> list() {
        std::vector<std::pair<std::string, Method>> out;
        out.emplace_back("kx", [](cv::Mat& img) {
            std::vector<cv::Rect> rects;
            std::vector<float> scores;
            KXTracker_detect(img, rects, scores);
            std::vector<Found> f;
            for (size_t i = 0; i < rects.size(); ++i) f.push_back({rects[i], scores[i]});
            return f;
        });
        out.emplace_back("haar", [this](cv::Mat& img) { return run_haar(img, false); });
        out.emplace_back("haar_640", [this](cv::Mat& img) { return run_haar(img, true); });
        out.emplace_back("dlib", [this](cv::Mat& img) { return run_hog(img, false); });
        out.emplace_back("dlib_up", [this](cv::Mat& img) { return run_hog(img, true); });
        return out;
    }

    std::vector<Found> run_haar(const cv::Mat& img, bool working_size) {
        cv::Mat grey;
        cv::cvtColor(img, grey, cv::COLOR_BGR2GRAY);
        const double k = working_size ? std::max(1.0, double(std::max(img.rows, img.cols)) / kWorkingSide) : 1.0;
        if (k > 1.0) cv::resize(grey, grey, cv::Size(), 1.0 / k, 1.0 / k, cv::INTER_LINEAR);
        std::vector<cv::Rect> rects;
        haar.detectMultiScale(grey, rects, 1.1, 3);
        std::vector<Found> f;
        for (const cv::Rect& r : rects) {
            f.push_back({cv::Rect(int(r.x * k), int(r.y * k), int(r.width * k), int(r.height * k)), 0.0f});
        }
        return f;
    }

    std::vector<Found> run_hog(const cv::Mat& img, bool upsample) {
        dlib::array2d<unsigned char> d = to_dlib(img);
        if (upsample) dlib::pyramid_up(d);
        std::vector<dlib::rect_detection> dets;
        hog(d, dets);
        const double k = upsample ? 0.5 : 1.0;
        std::vector<Found> f;
        for (const auto& r : dets) {
            const cv::Rect box(int(r.rect.left() * k), int(r.rect.top() * k), int(r.rect.width() * k),
                               int(r.rect.height() * k));
            f.push_back({box, float(r.detection_confidence)});
        }
        return f;
    }
};

int detect_all(const char* list_path, const char* out_path, const std::string& only) {
    Methods m;
    if (!m.haar.load(kHaarPath)) {
        std::fprintf(stderr, "eval_detector: cannot load %s (install opencv-data)\n", kHaarPath);
        return 1;
    }
    std::ifstream list(list_path);
    std::ofstream out(out_path);
    if (!list || !out) {
        std::fprintf(stderr, "eval_detector: cannot read %s or write %s\n", list_path, out_path);
        return 1;
    }
    out << "method,photo,x,y,w,h,score\n";
    auto methods = m.list();
    if (!only.empty()) {
        const std::string wanted = "," + only + ",";
        methods.erase(std::remove_if(methods.begin(), methods.end(),
                                     [&](const auto& e) { return wanted.find("," + e.first + ",") == std::string::npos; }),
                      methods.end());
    }
    std::string path;
    int photos = 0;
    while (std::getline(list, path)) {
        if (path.empty()) continue;
        cv::Mat img = cv::imread(path, cv::IMREAD_COLOR);
        if (img.empty()) {
            std::fprintf(stderr, "eval_detector: cannot read %s\n", path.c_str());
            return 1;
        }
        for (auto& [name, run] : methods) {
            for (const Found& f : run(img)) {
                out << name << ',' << path << ',' << f.box.x << ',' << f.box.y << ',' << f.box.width << ','
                    << f.box.height << ',' << f.score << '\n';
            }
        }
        ++photos;
    }
    std::printf("%d photos\n", photos);
    return 0;
}

int points_all(const char* list_path, const char* out_path) {
    std::ifstream list(list_path);
    std::ofstream out(out_path);
    if (!list || !out) {
        std::fprintf(stderr, "eval_detector: cannot read %s or write %s\n", list_path, out_path);
        return 1;
    }
    out << "photo,x,y,w,h,score,x0,y0,x1,y1,x2,y2,x3,y3,x4,y4\n";
    std::string path;
    while (std::getline(list, path)) {
        if (path.empty()) continue;
        cv::Mat img = cv::imread(path, cv::IMREAD_COLOR);
        if (img.empty()) {
            std::fprintf(stderr, "eval_detector: cannot read %s\n", path.c_str());
            return 1;
        }
        std::vector<cv::Rect> rects;
        std::vector<float> scores;
        std::vector<cv::Mat> points;
        KXTracker_detect_align5(img, rects, scores, points);
        for (size_t i = 0; i < rects.size() && i < points.size(); ++i) {
            const cv::Rect& r = rects[i];
            out << path << ',' << r.x << ',' << r.y << ',' << r.width << ',' << r.height << ',' << scores[i];
            cv::Mat p;
            points[i].convertTo(p, CV_32F);
            for (int k = 0; k < 5 && k < p.rows; ++k) out << ',' << p.at<float>(k, 0) << ',' << p.at<float>(k, 1);
            out << '\n';
        }
    }
    return 0;
}

cv::Mat fit_640x480(const cv::Mat& img) {
    const double k = std::max(640.0 / img.cols, 480.0 / img.rows);
    cv::Mat big;
    cv::resize(img, big, cv::Size(), k, k, cv::INTER_LINEAR);
    const cv::Rect cut((big.cols - 640) / 2, (big.rows - 480) / 2, 640, 480);
    return big(cut).clone();
}

int time_all(const char* photo, int runs, const std::string& peers) {
    Methods m;
    if (!m.haar.load(kHaarPath)) {
        std::fprintf(stderr, "eval_detector: cannot load %s (install opencv-data)\n", kHaarPath);
        return 1;
    }
    cv::Mat img = cv::imread(photo, cv::IMREAD_COLOR);
    if (img.empty()) {
        std::fprintf(stderr, "eval_detector: cannot read %s\n", photo);
        return 1;
    }
    img = fit_640x480(img);
    std::printf("photo %s fitted to %dx%d, %d runs each, OpenCV threads %d\n", photo, img.cols, img.rows, runs,
                cv::getNumThreads());
    auto methods = m.list();
    cv::Ptr<cv::FaceDetectorYN> yunet;
    const std::string yunet_path = peers + "/face_detection_yunet_2022mar.onnx";
    if (!peers.empty() && std::ifstream(yunet_path).good()) {
        yunet = cv::FaceDetectorYN::create(yunet_path, "", img.size(), 0.9f, 0.3f, 5000);
        methods.emplace_back("yunet22", [yunet](cv::Mat& im) {
            cv::Mat rows;
            yunet->detect(im, rows);
            return std::vector<Found>(rows.rows, Found{});
        });
    } else if (!peers.empty()) {
        std::fprintf(stderr, "eval_detector: %s is missing, YuNet 2022 not timed\n", yunet_path.c_str());
    }
    for (auto& [name, run] : methods) {
        if (name == "haar_640") continue;  // the same as haar on a 640 x 480 photo
        std::vector<double> ms;
        size_t faces = run(img).size();  // warm-up
        for (int i = 0; i < runs; ++i) {
            const auto t0 = std::chrono::steady_clock::now();
            faces = run(img).size();
            ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        }
        std::sort(ms.begin(), ms.end());
        double mean = 0;
        for (double v : ms) mean += v / ms.size();
        std::printf("%-8s median %8.2f ms  mean %8.2f ms  faces %zu\n", name.c_str(), ms[ms.size() / 2], mean,
                    faces);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool detect = argc >= 2 && std::string(argv[1]) == "detect";
    const bool time = argc >= 2 && std::string(argv[1]) == "time";
    const bool points = argc >= 2 && std::string(argv[1]) == "points5";
    if (!((detect && (argc == 5 || argc == 6)) || (time && argc >= 5 && argc <= 7) || (points && argc == 5))) {
        std::fprintf(stderr,
                     "usage: eval_detector detect MODELS_DIR LIST.txt OUT.csv [METHOD,...]\n"
                     "       eval_detector points5 MODELS_DIR LIST.txt OUT.csv\n"
                     "       eval_detector time MODELS_DIR PHOTO RUNS [PEERS_DIR [OPENCV_THREADS]]\n");
        return 2;
    }
    if (time && argc == 7) cv::setNumThreads(std::max(1, std::atoi(argv[6])));
    KXTracker_init(argv[2], 1);
    const int rc = detect   ? detect_all(argv[3], argv[4], argc == 6 ? argv[5] : "")
                   : points ? points_all(argv[3], argv[4])
                            : time_all(argv[3], std::max(1, std::atoi(argv[4])), argc >= 6 ? argv[5] : "");
    KXTracker_destroy();
    return rc;
}
