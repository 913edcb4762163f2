// Runs the example programs as a user would: detect_landmarks on a sample
// portrait, track_video on a video made here from the same portrait moving
// through the frame. Their answers are checked against the eye and mouth
// positions measured once on the portrait.
#if defined(KX_EXAMPLE_DETECT_LANDMARKS) && defined(KX_EXAMPLE_TRACK_VIDEO)

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "api/synthetic_models.h"
#include "tools/tool_run.h"

namespace kx {
namespace {

using test::linesOf;
using test::Outcome;
using test::quote;

const std::string kPortrait = std::string(KX_SOURCE_DIR) + "/samples/obama.jpg";
// Measured on the portrait: the eyes and the middle of the mouth.
const cv::Point2f kLeftEye(443.5f, 216.2f), kRightEye(549.0f, 214.5f), kMouth(493.5f, 319.5f);
const cv::Point2f kFaceMiddle = (kLeftEye + kRightEye + kMouth) * (1.0f / 3.0f);

Outcome runExample(const std::string& program, const std::vector<std::string>& args, const test::TempFolder& work) {
    std::string command = quote(program);
    for (const std::string& a : args) command += " " + quote(a);
    return test::runTool(command, work.path());
}

TEST(Examples, DetectLandmarksDrawsTheFaceOfAPhoto) {
    test::TempFolder work("example-detect");
    const std::string out = (work.path() / "drawn.png").string();
    const Outcome o = runExample(KX_EXAMPLE_DETECT_LANDMARKS, {kPortrait, out}, work);
    ASSERT_EQ(o.exit_code, 0) << o.err;
    const std::vector<std::string> lines = linesOf(o.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "1 faces") << o.out;
    cv::Rect box;
    float score = 0.0f;
    bool found = false;
    for (const std::string& line : lines) {
        found = found || std::sscanf(line.c_str(), "face 0: box %d,%d %dx%d score %f", &box.x, &box.y, &box.width,
                                     &box.height, &score) == 5;
    }
    ASSERT_TRUE(found) << o.out;
    EXPECT_TRUE(box.contains(kLeftEye) && box.contains(kRightEye) && box.contains(kMouth)) << box;
    EXPECT_GE(score, 0.8f);

    // The picture: the photo (which has no pure yellow) with the box in
    // green and the 95 points in yellow, all of them on the face: inside the
    // box, or just past it at the chin.
    const cv::Mat photo = cv::imread(kPortrait), drawn = cv::imread(out);
    ASSERT_EQ(drawn.size(), photo.size());
    cv::Mat yellow;
    cv::inRange(drawn, cv::Scalar(0, 250, 250), cv::Scalar(5, 255, 255), yellow);
    const int margin = box.width / 10;
    const cv::Rect face = (box + cv::Size(2 * margin, 2 * margin) - cv::Point(margin, margin)) &
                          cv::Rect(0, 0, photo.cols, photo.rows);
    EXPECT_GE(cv::countNonZero(yellow(box)), 95);
    EXPECT_EQ(cv::countNonZero(yellow), cv::countNonZero(yellow(face)));
    EXPECT_EQ(drawn.at<cv::Vec3b>(box.y + box.height / 2, box.x), cv::Vec3b(0, 255, 0));

    const Outcome usage = runExample(KX_EXAMPLE_DETECT_LANDMARKS, {kPortrait}, work);
    EXPECT_EQ(usage.exit_code, 2);
    EXPECT_EQ(usage.err.rfind("usage: detect_landmarks", 0), 0u) << usage.err;
}

TEST(Examples, TrackVideoFollowsAFaceMovingThroughAVideo) {
    // 30 frames of 480 x 480 cut from the portrait by a window that moves
    // 4 pixels right and 2 down per frame, so the face moves left and up.
    test::TempFolder work("example-track");
    const std::string clip = (work.path() / "moving.avi").string();
    const cv::Mat portrait = cv::imread(kPortrait);
    ASSERT_FALSE(portrait.empty());
    const int frames = 30;
    auto window = [](int k) { return cv::Point(200 + 4 * k, 20 + 2 * k); };
    {
        cv::VideoWriter writer(clip, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25.0, cv::Size(480, 480));
        ASSERT_TRUE(writer.isOpened());
        for (int k = 0; k < frames; ++k) writer.write(portrait(cv::Rect(window(k), cv::Size(480, 480))).clone());
    }

    const std::string out = (work.path() / "tracked.avi").string();
    const Outcome o = runExample(KX_EXAMPLE_TRACK_VIDEO, {clip, out}, work);
    ASSERT_EQ(o.exit_code, 0) << o.err;
    int seen = 0;
    for (const std::string& line : linesOf(o.out)) {
        int index = -1, faces = -1;
        float x = 0.0f, y = 0.0f;
        const int fields = std::sscanf(line.c_str(), "frame %d: %d faces (%f, %f)", &index, &faces, &x, &y);
        if (fields < 2) continue;  // the library's model-loading lines
        ASSERT_EQ(index, seen) << line;
        ++seen;
        ASSERT_EQ(faces, 1) << line;
        ASSERT_EQ(fields, 4) << line;
        // The middle of the 95 points lies near the middle of eyes and mouth.
        const cv::Point2f expected = kFaceMiddle - cv::Point2f(window(index));
        EXPECT_LT(cv::norm(cv::Point2f(x, y) - expected), 30.0) << line << " expected near " << expected;
    }
    EXPECT_EQ(seen, frames) << o.out;

    cv::VideoCapture written(out);
    ASSERT_TRUE(written.isOpened());
    int written_frames = 0;
    for (cv::Mat f; written.read(f);) {
        EXPECT_EQ(f.size(), cv::Size(480, 480));
        ++written_frames;
    }
    EXPECT_EQ(written_frames, frames);

    const Outcome missing = runExample(KX_EXAMPLE_TRACK_VIDEO, {(work.path() / "none.avi").string()}, work);
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_EQ(missing.err, "no such file: " + (work.path() / "none.avi").string() + "\n");
}

}  // namespace
}  // namespace kx

#endif
