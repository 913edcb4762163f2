// eval_ninety_five: places 95 points on listed faces through the library's
// own path and writes them out, with the face check and the time taken.
//
//   eval_ninety_five NET95 NET5 CASCADE LIST.txt OUT.txt [CROPS.u8]
//
// LIST.txt: one face per line, either "image_path x y w h" (a face box before
// enlargement: enlargeToSquare, then alignFivePoints with NET5 gives the five
// points) or "image_path x0 y0 ... x4 y4" (the five points themselves).
// Then alignNinetyFivePoints with NET95 and the CASCADE ("model95_tern.bin"
// format), on a fresh face state.
// OUT.txt: one line per face, "status is_face t00 t01 t02 t10 t11 t12 x0 y0 ...
// x94 y94": status 0 when the shape was placed (else -1 and zeros), the
// warp's frame-to-crop transform and the 95 points in frame pixels.
// CROPS.u8 (optional): the 60 x 60 warp crop of every line, row by row.
// Prints the number of faces, the share accepted as faces and the mean and
// median milliseconds of alignNinetyFivePoints (network, mapping, cascade).
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "align/five_points.h"
#include "align/geometry.h"
#include "align/landmark_model.h"
#include "align/ninety_five_points.h"
#include "align/tracked_face.h"
#include "detect/enlarge_to_square.h"
#include "detect/face_record.h"
#include "net/model_file.h"
#include "net/net.h"


int main(int argc, char** argv) {
    if (argc != 6 && argc != 7) {
        std::fprintf(stderr, "usage: eval_ninety_five NET95 NET5 CASCADE LIST.txt OUT.txt [CROPS.u8]\n");
        return 2;
    }
    kx::Net net95, net5;
    kx::LandmarkModel cascade;
    if (!kx::loadNetFile(net95, argv[1], false) || !kx::loadNetFile(net5, argv[2], false) ||
        !cascade.load(argv[3])) {
        std::fprintf(stderr, "eval_ninety_five: a model does not load\n");
        return 1;
    }
    std::ifstream list(argv[4]);
    std::ofstream out(argv[5]);
    FILE* crops = argc == 7 ? std::fopen(argv[6], "wb") : nullptr;
    if (!list || !out || (argc == 7 && crops == nullptr)) {
        std::fprintf(stderr, "eval_ninety_five: cannot read the list or write the outputs\n");
        return 1;
    }

    std::string line, cached_path;
    cv::Mat grey;
    std::vector<double> ms;
    int faces = 0, accepted = 0;
    while (std::getline(list, line)) {
        std::istringstream fields(line);
        std::string path;
        std::vector<double> v;
        double value;
        if (!(fields >> path)) continue;
        while (fields >> value) v.push_back(value);
        if (v.size() != 4 && v.size() != 10) continue;
        if (path != cached_path) {
            grey = cv::imread(path, cv::IMREAD_GRAYSCALE);
            cached_path = path;
        }
        int status = -1;
        bool is_face = false;
        kx::FaceRecord face;
        cv::Mat shape, transform;
        if (!grey.empty()) {
            if (v.size() == 4) {
                std::vector<kx::FaceRecord> boxes(1);
                boxes[0].box = cv::Rect(int(v[0]), int(v[1]), int(v[2]), int(v[3]));
                kx::enlargeToSquare(boxes);
                status = kx::alignFivePoints(net5, grey, boxes[0].box, face.landmarks);
            } else {
                face.landmarks = cv::Mat(5, 2, CV_32FC1);
                for (int i = 0; i < 10; ++i) face.landmarks.at<float>(i / 2, i % 2) = float(v[size_t(i)]);
                status = 0;
            }
            if (status == 0) {
                kx::TrackedFace state;
                state.shape = cv::Mat::zeros(95, 2, CV_32FC1);
                const auto t0 = std::chrono::steady_clock::now();
                status = kx::alignNinetyFivePoints(state, net95, cascade, grey, face, is_face);
                const auto t1 = std::chrono::steady_clock::now();
                ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
                shape = state.shape;
            }
        }
        cv::Mat crop;
        if (status == 0) {
            kx::warpFromFivePoints(grey, face.landmarks, crop, transform);
            ++faces;
            if (is_face) ++accepted;
        }
        if (crops != nullptr) {
            unsigned char zeros[60 * 60] = {};
            std::fwrite(crop.empty() ? zeros : crop.data, 1, 60 * 60, crops);
        }
        out << status << " " << (is_face ? 1 : 0);
        out.precision(9);
        for (int i = 0; i < 6; ++i) out << " " << (status == 0 ? transform.at<double>(i / 3, i % 3) : 0.0);
        for (int i = 0; i < 190; ++i) out << " " << (status == 0 ? shape.at<float>(i / 2, i % 2) : 0.0f);
        out << "\n";
    }
    if (crops != nullptr) std::fclose(crops);
    double mean = 0.0;
    for (double t : ms) mean += t;
    if (!ms.empty()) mean /= double(ms.size());
    std::sort(ms.begin(), ms.end());
    const double median = ms.empty() ? 0.0 : ms[ms.size() / 2];
    std::printf("faces: %d, accepted as faces: %d, ms per face: mean %.4f, median %.4f\n", faces,
                accepted, mean, median);
    return 0;
}
