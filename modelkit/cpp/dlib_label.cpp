// dlib_label: labels unannotated face photos with 68 points, using dlib's HOG
// frontal face detector and its 68-point shape predictor as the teacher.
//
//   dlib_label PREDICTOR.dat IMAGE_DIR LIST.txt OUT.csv
//
// LIST.txt names one image file (relative to IMAGE_DIR) per line. OUT.csv gets
// a header and one row per listed image:
//   name,found,box_x,box_y,box_w,box_h,x0,y0,...,x67,y67
// found is 0 when the detector finds no face (the other fields are then 0).
// When several faces are found, the one whose box centre is nearest the
// image centre is labelled (the photos hold one main face near the centre).
#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>

#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

dlib::array2d<unsigned char> to_dlib(const cv::Mat& grey) {
    dlib::array2d<unsigned char> img(grey.rows, grey.cols);
    for (int y = 0; y < grey.rows; ++y) {
        const unsigned char* row = grey.ptr<unsigned char>(y);
        for (int x = 0; x < grey.cols; ++x) img[y][x] = row[x];
    }
    return img;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: dlib_label PREDICTOR.dat IMAGE_DIR LIST.txt OUT.csv\n");
        return 2;
    }
    const std::string image_dir = argv[2];
    dlib::shape_predictor predictor;
    try {
        dlib::deserialize(argv[1]) >> predictor;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "dlib_label: cannot read predictor %s: %s\n", argv[1], e.what());
        return 1;
    }
    dlib::frontal_face_detector detector = dlib::get_frontal_face_detector();

    std::ifstream list(argv[3]);
    if (!list) {
        std::fprintf(stderr, "dlib_label: cannot read list %s\n", argv[3]);
        return 1;
    }
    std::ofstream out(argv[4]);
    if (!out) {
        std::fprintf(stderr, "dlib_label: cannot write %s\n", argv[4]);
        return 1;
    }
    out << "name,found,box_x,box_y,box_w,box_h";
    for (int i = 0; i < 68; ++i) out << ",x" << i << ",y" << i;
    out << "\n";

    std::string name;
    int done = 0, found = 0;
    while (std::getline(list, name)) {
        if (name.empty()) continue;
        const cv::Mat grey = cv::imread(image_dir + "/" + name, cv::IMREAD_GRAYSCALE);
        out << name;
        std::vector<dlib::rectangle> faces;
        dlib::array2d<unsigned char> img;
        if (!grey.empty()) {
            img = to_dlib(grey);
            faces = detector(img);
        }
        if (faces.empty()) {
            out << ",0,0,0,0,0";
            for (int i = 0; i < 68; ++i) out << ",0,0";
            out << "\n";
        } else {
            const double cx = grey.cols / 2.0, cy = grey.rows / 2.0;
            size_t best = 0;
            double best_d = 1e30;
            for (size_t i = 0; i < faces.size(); ++i) {
                const dlib::point c = dlib::center(faces[i]);
                const double d = (c.x() - cx) * (c.x() - cx) + (c.y() - cy) * (c.y() - cy);
                if (d < best_d) best_d = d, best = i;
            }
            const dlib::rectangle& r = faces[best];
            const dlib::full_object_detection shape = predictor(img, r);
            out << ",1," << r.left() << "," << r.top() << "," << r.width() << "," << r.height();
            for (unsigned long i = 0; i < shape.num_parts(); ++i)
                out << "," << shape.part(i).x() << "," << shape.part(i).y();
            out << "\n";
            ++found;
        }
        if (++done % 500 == 0) std::fprintf(stderr, "dlib_label: %d images, %d faces\n", done, found);
    }
    std::fprintf(stderr, "dlib_label: %d images, %d faces\n", done, found);
    return 0;
}
