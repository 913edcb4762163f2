// dlib's HOG face detector (get_frontal_face_detector, no upsampling) on the
// same 640 x 480 frame as KXTracker_detect. dlib runs it on the calling
// thread alone, so its figure stands beside our one-thread detection. Built
// only when dlib is installed (Debian: libdlib-dev).
#include <benchmark/benchmark.h>

#include <vector>

#include <dlib/image_processing/frontal_face_detector.h>
#include <dlib/opencv/cv_image.h>

#include "bench_frame.h"

namespace kx::bench {

namespace {

void dlibHog(benchmark::State& state) {
    const cv::Mat frame = benchFrame();
    dlib::frontal_face_detector detector = dlib::get_frontal_face_detector();
    const dlib::cv_image<dlib::bgr_pixel> image(frame);
    std::vector<dlib::rectangle> faces = detector(image);
    for (auto _ : state) {
        faces = detector(image);
        benchmark::DoNotOptimize(faces.data());
    }
    state.counters["faces"] = double(faces.size());
    state.counters["threads"] = 1;
}

}  // namespace

BENCHMARK(dlibHog)->Name("dlib HOG detector 640x480")->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace kx::bench
