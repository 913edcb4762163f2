// The Python module kx_tracker: kx::FaceAnalyzer for images held in NumPy
// arrays, as OpenCV's Python binding reads them (uint8, (H, W, 3), blue-
// green-red). Calls release the global interpreter lock while they compute,
// so analyzers on several Python threads run at the same time.
#include <Python.h>

#include <memory>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include "image_arrays.h"
#include "kx/face_analyzer.h"
#include "kx/version.h"
#include "model_location.h"

namespace kx::python {

namespace {

// The result of the detecting calls: a named tuple, so that both
// `boxes, scores, *_ = ...` and `faces.boxes` read well. Made once when the
// module loads, which keeps it alive.
py::handle faces_type;

py::object faces(py::object boxes, py::object scores, py::object points5, py::object points95) {
    return faces_type(std::move(boxes), std::move(scores), std::move(points5), std::move(points95));
}

class Analyzer {
public:
    Analyzer(const py::object& model_dir, int max_faces) : max_faces_(max_faces) {
        if (max_faces < 1) throw py::value_error("max_faces must be at least 1, got " + std::to_string(max_faces));
        model_dir_ = model_dir.is_none() ? defaultModelFolder()
                                         : std::string(py::str(py::module_::import("os").attr("fspath")(model_dir)));
        const std::vector<std::string> missing = missingModelFiles(model_dir_);
        if (!missing.empty()) {
            std::string list;
            for (const std::string& name : missing) list += (list.empty() ? "" : ", ") + name;
            PyErr_SetString(PyExc_FileNotFoundError,
                            ("no trained models found in " + model_dir_ + " (missing " + list + ")").c_str());
            throw py::error_already_set();
        }
        py::gil_scoped_release unlocked;
        analyzer_.start(model_dir_, max_faces);
    }

    py::object detect(const py::handle& image) {
        const ImageArgument in = imageArgument(image, "image");
        std::vector<cv::Rect> rects;
        std::vector<float> scores;
        {
            py::gil_scoped_release unlocked;
            analyzer_.detect(in.mat, rects, scores);
        }
        return faces(boxesArray(rects), scoresArray(scores), py::none(), py::none());
    }

    py::object detectAlign5(const py::handle& image) {
        const ImageArgument in = imageArgument(image, "image");
        std::vector<cv::Rect> rects;
        std::vector<float> scores;
        std::vector<cv::Mat> points5;
        {
            py::gil_scoped_release unlocked;
            analyzer_.detectAlign5(in.mat, rects, scores, points5);
        }
        return faces(boxesArray(rects), scoresArray(scores), pointsArray(points5, 5), py::none());
    }

    py::object detectAlign95(const py::handle& image) {
        const ImageArgument in = imageArgument(image, "image");
        std::vector<cv::Rect> rects;
        std::vector<float> scores;
        std::vector<cv::Mat> points5, points95;
        {
            py::gil_scoped_release unlocked;
            analyzer_.detectAlign95(in.mat, rects, scores, points5, points95);
        }
        return faces(boxesArray(rects), scoresArray(scores), pointsArray(points5, 5), pointsArray(points95, 95));
    }

    py::tuple align95(const py::handle& image, const py::handle& boxes) {
        const ImageArgument in = imageArgument(image, "image");
        const std::vector<cv::Rect> rects = boxesArgument(boxes);
        std::vector<cv::Mat> points5, points95;
        {
            py::gil_scoped_release unlocked;
            analyzer_.align95(in.mat, rects, points5, points95);
        }
        return py::make_tuple(pointsArray(points5, 5), pointsArray(points95, 95));
    }

    py::array track(const py::handle& frame) {
        const ImageArgument in = imageArgument(frame, "frame");
        std::vector<cv::Mat> shapes;
        {
            py::gil_scoped_release unlocked;
            analyzer_.track(in.mat, shapes);
        }
        return pointsArray(shapes, 95);
    }

    long long detectorRuns() const { return analyzer_.trackingDetectorRuns(); }
    const std::string& modelDir() const { return model_dir_; }
    int maxFaces() const { return max_faces_; }

private:
    kx::FaceAnalyzer analyzer_;
    std::string model_dir_;
    int max_faces_;
};

}  // namespace

}  // namespace kx::python

PYBIND11_MODULE(kx_tracker, m) {
    namespace py = pybind11;
    using kx::python::Analyzer;
    m.doc() =
        "Face detection, 5 and 95 landmarks and face tracking.\n\n"
        "Images are numpy.ndarray of dtype uint8 and shape (H, W, 3) in blue-green-red order,\n"
        "as cv2.imread returns them. Boxes are (N, 4) int32 x, y, w, h; scores (N,) float32;\n"
        "points (N, 5, 2) and (N, 95, 2) float32 x, y in image pixels.";
    m.attr("__version__") = KX_TRACKER_VERSION;
    m.attr("Faces") = py::module_::import("collections")
                          .attr("namedtuple")("Faces", py::make_tuple("boxes", "scores", "points5", "points95"),
                                              py::arg("defaults") = py::make_tuple(py::none(), py::none()),
                                              py::arg("module") = "kx_tracker");
    kx::python::faces_type = m.attr("Faces");
    m.attr("Faces").attr("__doc__") =
        "Faces found in an image: boxes (N, 4) int32, scores (N,) float32, points5 (N, 5, 2) and\n"
        "points95 (N, 95, 2) float32, or None for points the call does not place.";

    py::class_<Analyzer>(m, "FaceAnalyzer",
                         "A face detector, landmark finder and tracker with its own models and state.\n"
                         "Several analyzers run on several threads at once; calls on one analyzer\n"
                         "run one after another.")
        .def(py::init<const py::object&, int>(), py::arg("model_dir") = py::none(), py::arg("max_faces") = 4,
             "Loads the four models of model_dir (default: the models installed with the library,\n"
             "or the source tree's models/ for the module of a build tree) and prepares max_faces\n"
             "tracking slots. Raises FileNotFoundError when a model file is missing.")
        .def("detect", &Analyzer::detect, py::arg("image"), "Faces of image: Faces(boxes, scores), best first.")
        .def("detect_align5", &Analyzer::detectAlign5, py::arg("image"),
             "Faces with five landmarks (eyes, nose, mouth corners): Faces(boxes, scores, points5).")
        .def("detect_align95", &Analyzer::detectAlign95, py::arg("image"),
             "Faces with five and 95 landmarks: Faces(boxes, scores, points5, points95).")
        .def("align95", &Analyzer::align95, py::arg("image"), py::arg("boxes"),
             "Landmarks of known face boxes ((N, 4) integers x, y, w, h): (points5, points95).\n"
             "Boxes whose points cannot be placed leave no entry.")
        .def("track", &Analyzer::track, py::arg("frame"),
             "One video frame: the (N, 95, 2) shapes of the faces tracked in it. A frame of a new\n"
             "size starts tracking afresh.")
        .def_property_readonly("tracking_detector_runs", &Analyzer::detectorRuns,
                               "How many track calls so far have run the face detector.")
        .def_property_readonly("model_dir", &Analyzer::modelDir)
        .def_property_readonly("max_faces", &Analyzer::maxFaces)
        .def("__repr__", [](const Analyzer& a) {
            return "kx_tracker.FaceAnalyzer(model_dir=" + std::string(py::repr(py::str(a.modelDir()))) +
                   ", max_faces=" + std::to_string(a.maxFaces()) + ")";
        });
}
