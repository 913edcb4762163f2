// eval_five_points: places five points on listed faces through the library's
// own path (grey image -> enlargeToSquare(box) -> alignFivePoints) and writes
// them out, with the time alignFivePoints took.
//
//   eval_five_points MODEL LIST.txt OUT.txt
//
// LIST.txt: one face per line, "image_path x y w h" where the box is the
// face box before enlargement (the canonical box, or a detector's box).
// OUT.txt: one line per face, "status x0 y0 x1 y1 ... x4 y4" (status 0 when
// the points were placed; -1 otherwise, with zeros). Prints the number of
// faces and the mean and median milliseconds per alignFivePoints call.
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "align/five_points.h"
#include "detect/enlarge_to_square.h"
#include "detect/face_record.h"
#include "net/model_file.h"
#include "net/net.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: eval_five_points MODEL LIST.txt OUT.txt\n");
        return 2;
    }
    kx::Net net;
    if (!kx::loadNetFile(net, argv[1], false)) {
        std::fprintf(stderr, "eval_five_points: %s does not load\n", argv[1]);
        return 1;
    }
    std::ifstream list(argv[2]);
    std::ofstream out(argv[3]);
    if (!list || !out) {
        std::fprintf(stderr, "eval_five_points: cannot read %s or write %s\n", argv[2], argv[3]);
        return 1;
    }

    std::string line, cached_path;
    cv::Mat grey;
    std::vector<double> ms;
    int failed = 0;
    while (std::getline(list, line)) {
        std::istringstream fields(line);
        std::string path;
        kx::FaceRecord face;
        if (!(fields >> path >> face.box.x >> face.box.y >> face.box.width >> face.box.height)) continue;
        if (path != cached_path) {
            grey = cv::imread(path, cv::IMREAD_GRAYSCALE);
            cached_path = path;
        }
        std::vector<kx::FaceRecord> faces{face};
        kx::enlargeToSquare(faces);
        cv::Mat points;
        int status = -1;
        if (!grey.empty()) {
            const auto t0 = std::chrono::steady_clock::now();
            status = kx::alignFivePoints(net, grey, faces[0].box, points);
            const auto t1 = std::chrono::steady_clock::now();
            ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        }
        out << status;
        for (int i = 0; i < 10; ++i) {
            const float v = status == 0 ? points.at<float>(i / 2, i % 2) : 0.0f;
            out << " " << v;
        }
        out << "\n";
        if (status != 0) ++failed;
    }
    double mean = 0.0;
    for (double v : ms) mean += v;
    if (!ms.empty()) mean /= double(ms.size());
    std::sort(ms.begin(), ms.end());
    const double median = ms.empty() ? 0.0 : ms[ms.size() / 2];
    std::printf("faces: %zu, failed: %d, ms per face: mean %.4f, median %.4f\n", ms.size(), failed,
                mean, median);
    return 0;
}
