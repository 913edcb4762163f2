// Runs the built kxface tool on pictures and videos written here, with a
// folder of synthetic models, and checks its output, files and exit codes.
#ifdef KXFACE_PATH

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "api/synthetic_models.h"
#include "kx/face_analyzer.h"
#include "kx/version.h"
#include "json_check.h"
#include "tool_run.h"

namespace kx {
namespace {

using test::frameWithFaces;
using test::Json;
using test::linesOf;
using test::Outcome;
using test::quote;
namespace fs = std::filesystem;

Json parse(const std::string& line) {
    Json j;
    EXPECT_TRUE(test::JsonReader::parse(line, j)) << "not JSON: " << line;
    return j;
}

void expectPointList(const Json& points, size_t count) {
    ASSERT_EQ(points.kind, Json::Kind::Array);
    ASSERT_EQ(points.size(), count);
    for (const Json& p : points.items) {
        ASSERT_EQ(p.size(), 2u);
        EXPECT_TRUE(p[0].kind == Json::Kind::Number && p[1].kind == Json::Kind::Number);
    }
}

class KxFace : public ::testing::Test {
protected:
    KxFace() : work_("kxface"), models_(work_.path() / "models") {
        fs::create_directories(models_);
        test::writeSyntheticModels(models_.string());
    }

    Outcome run(const std::vector<std::string>& args, bool with_models = true) {
        std::string command = quote(KXFACE_PATH);
        for (const std::string& a : args) command += " " + quote(a);
        if (with_models) command += " --models " + quote(models_.string());
        return test::runTool(command, work_.path());
    }
    std::string image(const std::string& name, const cv::Mat& picture) {
        const std::string path = (work_.path() / name).string();
        EXPECT_TRUE(cv::imwrite(path, picture));
        return path;
    }

    test::TempFolder work_;
    fs::path models_;
};

TEST_F(KxFace, HelpAndUsageErrors) {
    Outcome o = run({"--help"}, false);
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_EQ(o.out.rfind("usage: kxface", 0), 0u);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"frobnicate", "x.png"}, {"detect"}, {"detect", "--bogus", "x.png"}, {"detect", "x.png", "--faces", "0"},
             {"track", "a.avi", "b.avi"}, {"detect", "x.png", "--json", "out.json"}, {"detect", "x.png", "--draw"},
             {"track", "a.avi", "--max-frames", "0"}, {"detect", "x.png", "--threads", "0"},
             {"detect", "x.png", "--threads", "65"}, {"detect", "x.png", "--threads", "two"},
             {"detect", "x.png", "--threads"}}) {
        o = run(args, false);
        EXPECT_EQ(o.exit_code, 2) << o.err;
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(linesOf(o.err).size(), 1u) << o.err;
        EXPECT_EQ(o.err.rfind("kxface: ", 0), 0u) << o.err;
    }
}

TEST_F(KxFace, ImageCommandsPrintOneJsonDocumentPerImage) {
    const cv::Mat a = frameWithFaces(640, 480, {{5, 6}, {30, 12}});
    const std::string pa = image("a.png", a), odd = image("we\"ird\\name\t.png", frameWithFaces(1280, 960, {}));
    Outcome o = run({"detect", pa, odd});
    ASSERT_EQ(o.exit_code, 0) << o.err;
    // Only results on standard output, and quiet: the loader's lines are
    // dropped unless --verbose shows them on standard error.
    std::vector<std::string> lines = linesOf(o.out);
    ASSERT_EQ(lines.size(), 2u) << o.out;
    EXPECT_EQ(o.err, "");
    const Outcome verbose = run({"detect", "--verbose", pa, odd});
    ASSERT_EQ(verbose.exit_code, 0) << verbose.err;
    EXPECT_EQ(verbose.out, o.out);
    EXPECT_NE(verbose.err.find("Loading model"), std::string::npos) << verbose.err;
    // The library's own answer for the image.
    std::vector<cv::Rect> expected;
    std::vector<float> scores;
    test::captureStdout([&] { FaceAnalyzer(models_.string(), 1).detect(a, expected, scores); });
    ASSERT_EQ(expected.size(), 2u);
    const Json first = parse(lines[0]);
    EXPECT_EQ(first["image"].text, pa);
    EXPECT_EQ(first["width"].number, 640);
    EXPECT_EQ(first["height"].number, 480);
    ASSERT_EQ(first["faces"].size(), 2u);
    for (size_t k = 0; k < 2; ++k) {
        const Json& box = first["faces"][k]["box"];
        EXPECT_EQ(cv::Rect(int(box[0].number), int(box[1].number), int(box[2].number), int(box[3].number)),
                  expected[k]);
        EXPECT_NEAR(first["faces"][k]["score"].number, scores[k], 1e-3);
        EXPECT_FALSE(first["faces"][k].has("points5"));
    }
    const Json second = parse(lines[1]);
    EXPECT_EQ(second["image"].text, odd);  // escaped and read back
    EXPECT_EQ(second["faces"].kind, Json::Kind::Array);
    EXPECT_EQ(second["faces"].size(), 0u);

    const std::string face = image("face.png", frameWithFaces(320, 240, {{10, 7}}));
    o = run({"align5", face});
    ASSERT_EQ(o.exit_code, 0) << o.err;
    Json j = parse(linesOf(o.out).at(0));
    ASSERT_EQ(j["faces"].size(), 1u);
    expectPointList(j["faces"][0]["points5"], 5);
    EXPECT_FALSE(j["faces"][0].has("points95"));

    // The thread count changes nothing in the results.
    const std::string one_thread = run({"align95", face, "--threads", "1"}).out;
    EXPECT_EQ(run({"align95", face, "--threads", "3"}).out, one_thread);
    EXPECT_EQ(parse(linesOf(one_thread).at(0))["faces"].size(), 1u);

    const std::string drawn = (work_.path() / "drawn.png").string();
    o = run({"align95", face, "--draw", drawn});
    ASSERT_EQ(o.exit_code, 0) << o.err;
    j = parse(linesOf(o.out).at(0));
    ASSERT_EQ(j["faces"].size(), 1u);
    expectPointList(j["faces"][0]["points5"], 5);
    expectPointList(j["faces"][0]["points95"], 95);
    // The face box (90, 42, 154, 154) is outlined in green on a black picture.
    const cv::Mat picture = cv::imread(drawn);
    ASSERT_EQ(picture.size(), cv::Size(320, 240));
    EXPECT_EQ(picture.at<cv::Vec3b>(42, 160), cv::Vec3b(0, 255, 0));
}

TEST_F(KxFace, TrackSummarisesAndWritesJsonLines) {
    // A face (a bright 32-pixel square) drifting right, a second from frame 10.
    const std::string clip = (work_.path() / "clip.avi").string();
    {
        cv::VideoWriter writer(clip, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25.0, cv::Size(320, 240));
        ASSERT_TRUE(writer.isOpened());
        for (int k = 0; k < 20; ++k) {
            cv::Mat frame(240, 320, CV_8UC3, cv::Scalar::all(0));
            frame(cv::Rect(60 + 2 * k, 100, 32, 32)).setTo(cv::Scalar::all(255));
            if (k >= 10) frame(cv::Rect(240, 100, 32, 32)).setTo(cv::Scalar::all(255));
            writer.write(frame);
        }
    }
    const std::string json = (work_.path() / "frames.jsonl").string();
    const Outcome o = run({"track", clip, "--json", json, "--faces", "2"});
    ASSERT_EQ(o.exit_code, 0) << o.err;
    // The library itself, on the same decoded frames, gives the expected
    // faces per frame and detector calls.
    std::vector<size_t> expected_faces;
    long long expected_calls = 0;
    test::captureStdout([&] {
        FaceAnalyzer analyzer(models_.string(), 2);
        cv::VideoCapture capture(clip);
        std::vector<cv::Mat> shapes;
        for (cv::Mat f; capture.read(f);) {
            analyzer.track(f, shapes);
            expected_faces.push_back(shapes.size());
        }
        expected_calls = analyzer.trackingDetectorRuns();
    });
    ASSERT_EQ(expected_faces.size(), 20u);
    EXPECT_GT(*std::max_element(expected_faces.begin(), expected_faces.end()), 0u);

    const std::vector<std::string> summary = linesOf(o.out);
    ASSERT_EQ(summary.size(), 4u) << o.out;
    EXPECT_EQ(summary[0], "frames: 20");
    EXPECT_EQ(summary[1].rfind("mean ms per frame: ", 0), 0u);
    EXPECT_EQ(summary[2].rfind("95th percentile ms per frame: ", 0), 0u);
    EXPECT_EQ(summary[3], "detector calls: " + std::to_string(expected_calls));
    EXPECT_EQ(o.err.find('\r'), std::string::npos);  // no progress line off a terminal

    const std::vector<std::string> lines = linesOf(test::readFile(json));
    ASSERT_EQ(lines.size(), 20u);
    for (size_t k = 0; k < lines.size(); ++k) {
        const Json frame = parse(lines[k]);
        EXPECT_EQ(frame["frame"].number, double(k));
        EXPECT_GE(frame["ms"].number, 0.0);
        ASSERT_EQ(frame["faces"].size(), expected_faces[k]) << "frame " << k;
        for (const Json& face : frame["faces"].items) expectPointList(face["points95"], 95);
    }
}

TEST_F(KxFace, VersionIsTheLibrarys) {
    const Outcome o = run({"--version"}, false);
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_EQ(o.out, std::string("kxface (kx_tracker) ") + KX_TRACKER_VERSION + "\n");
    EXPECT_EQ(o.err, "");
}

TEST_F(KxFace, InputsAreCheckedBeforeTheModelsLoad) {
    // Even with --verbose, a bad input gives its one error line and no
    // model-loading lines: the models are never loaded.
    const std::string missing = (work_.path() / "missing.jpg").string();
    const std::string text = (work_.path() / "text.png").string();
    std::ofstream(text) << "not a picture";
    const struct {
        std::vector<std::string> args;
        std::string error;
    } cases[] = {
        {{"detect", missing, "--verbose"}, "kxface: no such file: " + missing + "\n"},
        {{"align95", text, "--verbose"}, "kxface: cannot read image " + text + "\n"},
        {{"align5", work_.path().string(), "--verbose"}, "kxface: cannot read image " + work_.path().string() + "\n"},
        {{"track", missing, "--verbose"}, "kxface: no such file: " + missing + "\n"},
    };
    for (const auto& c : cases) {
        const Outcome o = run(c.args);
        EXPECT_EQ(o.exit_code, 1) << c.args[1];
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err, c.error);
    }
    // Missing inputs come before missing models too.
    const Outcome o = run({"detect", missing, "--models", (work_.path() / "nowhere").string()}, false);
    EXPECT_EQ(o.err, "kxface: no such file: " + missing + "\n");
}

TEST_F(KxFace, BadInputFailsWithExitCodeOne) {
    const std::string good = image("good.png", frameWithFaces(320, 240, {{10, 7}}));
    const std::string text = (work_.path() / "text.png").string(), missing = (work_.path() / "missing.png").string();
    std::ofstream(text) << "not a picture";
    // Bad pictures are reported; the others are still processed.
    Outcome o = run({"detect", missing, text, good});
    EXPECT_EQ(o.exit_code, 1);
    ASSERT_EQ(linesOf(o.out).size(), 1u) << o.out;
    EXPECT_EQ(parse(linesOf(o.out)[0])["image"].text, good);
    EXPECT_NE(o.err.find("kxface: no such file: " + missing + "\n"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("kxface: cannot read image " + text + "\n"), std::string::npos) << o.err;

    o = run({"track", text});
    EXPECT_EQ(o.exit_code, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_TRUE(o.err.find("kxface: cannot open video " + text) != std::string::npos ||
                o.err.find("kxface: no frames could be read from " + text) != std::string::npos)
        << o.err;

    const std::string empty = (work_.path() / "empty").string();
    fs::create_directories(empty);
    o = run({"detect", good, "--models", empty}, false);
    EXPECT_EQ(o.exit_code, 1);
    EXPECT_EQ(o.out, "");
    ASSERT_EQ(linesOf(o.err).size(), 1u) << o.err;
    EXPECT_EQ(o.err.rfind("kxface: no trained models found in " + empty, 0), 0u) << o.err;
    fs::remove(models_ / kLandmarkModelFile);
    o = run({"track", good});
    EXPECT_EQ(o.exit_code, 1);
    EXPECT_NE(o.err.find("model95_tern.bin"), std::string::npos) << o.err;
}

// The "kxface:" lines of standard error (the library's own console lines
// are sent there too).
std::vector<std::string> toolLines(const std::string& err) {
    std::vector<std::string> lines;
    for (const std::string& line : linesOf(err)) {
        if (line.rfind("kxface:", 0) == 0) lines.push_back(line);
    }
    return lines;
}

// A model file that is present but cannot be used stops the tool with one
// line naming it: garbage, a file cut short, another model's file in its
// place, an empty cascade file.
TEST_F(KxFace, UnusableModelFileIsNamedAndFails) {
    const std::string good = image("good.png", frameWithFaces(320, 240, {{10, 7}}));
    const std::string five = test::readFile(models_ / kFivePointModelFile);
    const struct { const char* file; std::string bytes; } cases[] = {
        {kDetectorModelFile, "this is not a network"},
        {kFivePointModelFile, five.substr(0, five.size() / 2)},
        {kNinetyFivePointModelFile, std::string(4096, '\xff')},
        {kLandmarkModelFile, five},
        {kLandmarkModelFile, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + ", " + std::to_string(c.bytes.size()) + " bytes");
        const std::string kept = test::readFile(models_ / c.file);
        std::ofstream(models_ / c.file, std::ios::binary | std::ios::trunc) << c.bytes;
        const Outcome o = run({"align95", good});
        EXPECT_EQ(o.exit_code, 1);
        EXPECT_EQ(o.out, "");
        const std::vector<std::string> said = toolLines(o.err);
        ASSERT_EQ(said.size(), 1u) << o.err;
        EXPECT_EQ(said[0].rfind("kxface: cannot use model " + (models_ / c.file).string(), 0), 0u) << said[0];
        std::ofstream(models_ / c.file, std::ios::binary | std::ios::trunc) << kept;
    }
    EXPECT_EQ(run({"detect", good}).exit_code, 0);
}

// Thin pictures whose long side passes 640 shrink to one row or column: no
// failure, and the pictures after them are processed. A file name with a
// byte that is not UTF-8 still gives a line any JSON reader accepts.
TEST_F(KxFace, ThinPicturesAndOddFileNames) {
    const std::string tall = image("tall.png", cv::Mat(1281, 1, CV_8UC3, cv::Scalar::all(128)));
    const std::string wide = image("wide.png", cv::Mat(2, 2561, CV_8UC3, cv::Scalar::all(128)));
    const std::string good = image("good.png", frameWithFaces(320, 240, {{10, 7}}));
    Outcome o = run({"align95", tall, wide, good});
    EXPECT_EQ(o.exit_code, 0) << o.err;
    std::vector<std::string> lines = linesOf(o.out);
    ASSERT_EQ(lines.size(), 3u) << o.out;
    EXPECT_EQ(parse(lines[0])["height"].number, 1281);
    EXPECT_EQ(parse(lines[1])["width"].number, 2561);
    EXPECT_EQ(parse(lines[2])["faces"].size(), 1u);

    const std::string odd = image(std::string("odd\xff\xc3(\xe2\x82\xac.png"), frameWithFaces(320, 240, {{10, 7}}));
    o = run({"detect", odd});
    EXPECT_EQ(o.exit_code, 0) << o.err;
    lines = linesOf(o.out);
    ASSERT_EQ(lines.size(), 1u);
    // The stray bytes are escaped, the euro sign (a whole UTF-8 sequence) kept.
    EXPECT_NE(lines[0].find("odd\\u00ff\\u00c3(\xe2\x82\xac.png"), std::string::npos) << lines[0];
    EXPECT_EQ(parse(lines[0])["faces"].size(), 1u);
}

}  // namespace
}  // namespace kx

#endif  // KXFACE_PATH
