// detect, align5, align95: one JSON document per image, one line each.
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include <opencv2/imgcodecs.hpp>

#include "commands.h"
#include "drawing.h"
#include "json_writer.h"
#include "model_folder.h"
#include "kx/face_analyzer.h"

namespace kxface {

namespace fs = std::filesystem;

namespace {

struct ImageResult {
    std::vector<cv::Rect> rects;
    std::vector<float> scores;
    std::vector<cv::Mat> points5;
    std::vector<cv::Mat> points95;
};

ImageResult analyse(kx::FaceAnalyzer& analyzer, const cv::Mat& image, Landmarks landmarks) {
    ImageResult r;
    switch (landmarks) {
        case Landmarks::None: analyzer.detect(image, r.rects, r.scores); break;
        case Landmarks::Five: analyzer.detectAlign5(image, r.rects, r.scores, r.points5); break;
        case Landmarks::NinetyFive:
            analyzer.detectAlign95(image, r.rects, r.scores, r.points5, r.points95);
            break;
    }
    return r;
}

std::string document(const std::string& path, const cv::Mat& image, const ImageResult& r, Landmarks landmarks) {
    JsonLine j;
    j.beginObject();
    j.key("image").value(path);
    j.key("width").value(image.cols);
    j.key("height").value(image.rows);
    j.key("faces").beginArray();
    for (size_t k = 0; k < r.rects.size(); ++k) {
        j.beginObject();
        j.key("box").value(r.rects[k]);
        j.key("score").value(static_cast<double>(r.scores[k]));
        if (landmarks != Landmarks::None && k < r.points5.size()) j.key("points5").points(r.points5[k]);
        if (landmarks == Landmarks::NinetyFive && k < r.points95.size()) j.key("points95").points(r.points95[k]);
        j.endObject();
    }
    j.endArray();
    j.endObject();
    return j.text();
}

// Where the annotated picture of `input` goes: OUT itself for a single image
// unless OUT is a directory; otherwise OUT/<file name of the input>.
std::string drawingPath(const std::string& out, const std::string& input, bool into_folder) {
    if (!into_folder) return out;
    return (fs::path(out) / fs::path(input).filename()).string();
}

// The inputs that name a readable picture, in order; the others are
// reported. Only the file's header is read, so this is quick even for many
// pictures and runs before the models load.
std::vector<std::string> readableImages(const std::vector<std::string>& inputs) {
    std::vector<std::string> readable;
    for (const std::string& path : inputs) {
        std::error_code error;
        if (!fs::exists(path, error)) {
            complain("no such file: " + path);
        } else if (!fs::is_regular_file(path, error) || ::access(path.c_str(), R_OK) != 0 ||
                   !cv::haveImageReader(path)) {
            complain("cannot read image " + path);
        } else {
            readable.push_back(path);
        }
    }
    return readable;
}

}  // namespace

int runImages(const Options& options, Landmarks landmarks, std::FILE* out) {
    std::error_code error;
    const bool into_folder =
        !options.draw.empty() && (options.inputs.size() > 1 || fs::is_directory(options.draw, error));
    if (into_folder) {
        fs::create_directories(options.draw, error);
        if (!fs::is_directory(options.draw, error)) {
            complain("cannot create the drawing folder " + options.draw);
            return kExitFailure;
        }
    }

    const std::vector<std::string> images = readableImages(options.inputs);
    int status = images.size() == options.inputs.size() ? kExitOk : kExitFailure;
    if (images.empty() || !modelsPresent(options)) return kExitFailure;

    kx::FaceAnalyzer analyzer;
    analyzer.setThreads(options.threads);
    analyzer.start(options.models, options.faces);
    if (reportUnusableModels(analyzer, options.models)) return kExitFailure;
    for (const std::string& path : images) {
        const cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
        if (image.empty()) {
            complain("cannot read image " + path);
            status = kExitFailure;
            continue;
        }
        const ImageResult r = analyse(analyzer, image, landmarks);
        std::fprintf(out, "%s\n", document(path, image, r, landmarks).c_str());
        std::fflush(out);

        if (!options.draw.empty()) {
            cv::Mat picture = image.clone();
            drawBoxes(picture, r.rects);
            drawPoints(picture, r.points95, kShapeColour);
            drawPoints(picture, r.points5, kFivePointColour);
            const std::string target = drawingPath(options.draw, path, into_folder);
            bool written = false;
            try {
                written = cv::imwrite(target, picture);
            } catch (const cv::Exception&) {
                written = false;
            }
            if (!written) {
                complain("cannot write " + target);
                status = kExitFailure;
            }
        }
    }
    return status;
}

}  // namespace kxface
