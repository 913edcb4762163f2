#include "image_arrays.h"

#include <climits>
#include <cstdint>
#include <string>

namespace kx::python {

namespace {

std::string typeName(const py::handle& object) { return py::str(py::type::handle_of(object).attr("__name__")); }

std::string shapeText(const py::array& array) {
    std::string text = "(";
    for (py::ssize_t k = 0; k < array.ndim(); ++k) {
        text += (k > 0 ? ", " : "") + std::to_string(array.shape(k));
    }
    return text + (array.ndim() == 1 ? ",)" : ")");
}

py::array numpyArray(const py::handle& object) { return py::module_::import("numpy").attr("asarray")(object); }

}  // namespace

ImageArgument imageArgument(const py::handle& object, const char* name) {
    const std::string expected = std::string(name) + " must be a numpy.ndarray of dtype uint8 and shape (H, W, 3)";
    if (!py::isinstance<py::array>(object)) throw py::type_error(expected + ", got " + typeName(object));
    py::array array = py::reinterpret_borrow<py::array>(object);
    if (array.dtype().kind() != 'u' || array.dtype().itemsize() != 1) {
        throw py::type_error(expected + " (8-bit blue-green-red), got dtype " +
                             std::string(py::str(array.dtype())));
    }
    if (array.ndim() != 3 || array.shape(2) != 3) {
        throw py::value_error(expected + " (blue-green-red), got shape " + shapeText(array));
    }
    if (array.shape(0) > INT_MAX || array.shape(1) > INT_MAX) {
        throw py::value_error(std::string(name) + " is too large: shape " + shapeText(array));
    }
    // Row padding would be fine for OpenCV, but a reversed or strided view
    // is not: such arrays are copied, as NumPy functions do.
    if (!(array.flags() & py::array::c_style)) {
        array = py::module_::import("numpy").attr("ascontiguousarray")(array);
    }
    ImageArgument argument{array, {}};
    if (array.shape(0) > 0 && array.shape(1) > 0) {
        argument.mat = cv::Mat(static_cast<int>(array.shape(0)), static_cast<int>(array.shape(1)), CV_8UC3,
                               const_cast<void*>(array.data()));
    }
    return argument;
}

std::vector<cv::Rect> boxesArgument(const py::handle& object) {
    const char* expected = "boxes must be an (N, 4) array of integers x, y, w, h";
    py::array array;
    try {
        array = numpyArray(object);
    } catch (const py::error_already_set& e) {
        throw py::value_error(std::string(expected) + ": " + e.what());  // ragged nested lists
    }
    // An empty list (which NumPy reads as float64) is no boxes.
    if (array.size() == 0 && (array.ndim() == 1 || (array.ndim() == 2 && array.shape(1) == 4))) return {};
    const char kind = array.dtype().kind();
    if (kind != 'i' && kind != 'u') {
        throw py::type_error(std::string(expected) + ", got dtype " + std::string(py::str(array.dtype())));
    }
    if (array.ndim() != 2 || array.shape(1) != 4) {
        throw py::value_error(std::string(expected) + ", got shape " + shapeText(array));
    }
    const auto values = py::array_t<long long, py::array::c_style | py::array::forcecast>::ensure(array);
    std::vector<cv::Rect> rects;
    const auto view = values.unchecked<2>();
    for (py::ssize_t n = 0; n < view.shape(0); ++n) {
        int v[4];
        for (int k = 0; k < 4; ++k) {
            if (view(n, k) < INT_MIN || view(n, k) > INT_MAX) {
                throw py::value_error("boxes hold a value outside the 32-bit range: " + std::to_string(view(n, k)));
            }
            v[k] = static_cast<int>(view(n, k));
        }
        rects.emplace_back(v[0], v[1], v[2], v[3]);
    }
    return rects;
}

py::array boxesArray(const std::vector<cv::Rect>& rects) {
    py::array_t<std::int32_t> array({static_cast<py::ssize_t>(rects.size()), py::ssize_t{4}});
    auto view = array.mutable_unchecked<2>();
    for (size_t n = 0; n < rects.size(); ++n) {
        const py::ssize_t i = static_cast<py::ssize_t>(n);
        view(i, 0) = rects[n].x;
        view(i, 1) = rects[n].y;
        view(i, 2) = rects[n].width;
        view(i, 3) = rects[n].height;
    }
    return std::move(array);
}

py::array scoresArray(const std::vector<float>& scores) {
    py::array_t<float> array(static_cast<py::ssize_t>(scores.size()));
    auto view = array.mutable_unchecked<1>();
    for (size_t n = 0; n < scores.size(); ++n) view(static_cast<py::ssize_t>(n)) = scores[n];
    return std::move(array);
}

py::array pointsArray(const std::vector<cv::Mat>& sets, int count) {
    py::array_t<float> array({static_cast<py::ssize_t>(sets.size()), py::ssize_t{count}, py::ssize_t{2}});
    auto view = array.mutable_unchecked<3>();
    for (size_t n = 0; n < sets.size(); ++n) {
        cv::Mat points;
        sets[n].convertTo(points, CV_32F);
        if (points.rows != count || points.cols != 2) {
            throw std::runtime_error("the library returned a point set of " + std::to_string(points.rows) + " x " +
                                     std::to_string(points.cols) + " instead of " + std::to_string(count) + " x 2");
        }
        for (int r = 0; r < count; ++r) {
            view(static_cast<py::ssize_t>(n), r, 0) = points.at<float>(r, 0);
            view(static_cast<py::ssize_t>(n), r, 1) = points.at<float>(r, 1);
        }
    }
    return std::move(array);
}

}  // namespace kx::python
