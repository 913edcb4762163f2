// The face tracker's state machine on synthetic networks and frames: the
// detection schedule, the duplicate and overlap tests, history across a loss
// and frames that change size.
#include "track/face_tracker.h"

#include <gtest/gtest.h>

#include "api/synthetic_models.h"
#include "detect/enlarge_to_square.h"
#include "track/shape_box.h"

namespace kx {
namespace {

using test::frameWithFaces;

// A detector that answers what the test tells it and counts its calls.
class ScriptedDetector : public Detector {
public:
    void load(const std::string&, int, int) override {}
    void detect(const cv::Mat& image, std::vector<FaceRecord>& faces) override {
        ++calls;
        sizes.push_back(image.size());
        faces.clear();
        for (const cv::Rect& box : boxes) {
            FaceRecord face;
            face.landmarks = cv::Mat(0, 0, CV_32F);
            face.box = box;
            face.score = 0.9f;
            faces.push_back(face);
        }
    }
    void release() override {}

    std::vector<cv::Rect> boxes;
    std::vector<cv::Size> sizes;
    int calls = 0;
};

const cv::Point kCellA(10, 7), kCellB(30, 7);
cv::Point centre(cv::Point cell) { return {16 * cell.x + 8, 16 * cell.y + 8}; }
// The synthetic detector's box for a bright cell: 129 x 129 around its centre.
cv::Rect cellBox(cv::Point cell) { return {centre(cell) - cv::Point(64, 64), cv::Size(129, 129)}; }

class FaceTracker : public ::testing::Test {
protected:
    FaceTracker() : folder_("tracker") {}

    void start(int capacity, std::vector<cv::Point> faces) {
        test::writeSyntheticModels(folder_.str());
        test::captureStdout([&] { startTracker(tracker_, detector_, folder_.str(), capacity); });
        ASSERT_EQ(tracker_.faces.size(), size_t(capacity));
        show(faces);
    }
    // Puts these faces in front of the camera and the detector.
    void show(std::vector<cv::Point> faces, cv::Size size = {640, 240}) {
        frame_ = frameWithFaces(size.width, size.height, faces);
        detector_.boxes.clear();
        for (const cv::Point& c : faces) detector_.boxes.push_back(cellBox(c));
    }
    std::vector<cv::Mat> step() {
        std::vector<cv::Mat> shapes;
        EXPECT_EQ(test::captureStdout([&] { shapes = trackFaces(tracker_, &detector_, previous_, frame_); }), "");
        return shapes;
    }
    // The calls up to `last` on which the detector ran.
    std::vector<int> detectingCalls(int last) {
        std::vector<int> calls;
        for (int call = 1; call <= last; ++call) {
            const int before = detector_.calls;
            step();
            if (detector_.calls != before) calls.push_back(call);
        }
        return calls;
    }

    test::TempFolder folder_;
    ScriptedDetector detector_;
    Tracker tracker_;
    cv::Mat previous_, frame_;
};

TEST_F(FaceTracker, WithoutFacesDetectsOnCallsOneSixEleven) {
    start(2, {});
    EXPECT_EQ(detectingCalls(16), (std::vector<int>{1, 6, 11, 16}));
    for (const TrackedFace& f : tracker_.faces) EXPECT_FALSE(f.active);
}

TEST_F(FaceTracker, WhileTrackingDetectsEveryTwentiethCallAndAfterALoss) {
    start(1, {kCellA});
    // The first call takes the face yet moves the countdown by 4, as no face
    // was tracked when it started; from then on by 1 per call.
    EXPECT_EQ(detectingCalls(60), (std::vector<int>{1, 18, 38, 58}));
    const std::vector<cv::Mat> shapes = step();
    ASSERT_EQ(shapes.size(), 1u);
    EXPECT_EQ(shapes[0].size(), cv::Size(2, 95));
    EXPECT_NE(shapes[0].data, tracker_.faces[0].shape.data);  // a copy
    EXPECT_TRUE(boxFromShape(shapes[0]).contains(centre(kCellA)));

    // The face leaves: dropped at once without detecting, and the next call detects.
    show({});
    const int calls = detector_.calls;
    EXPECT_TRUE(step().empty());
    EXPECT_EQ(detector_.calls, calls);
    EXPECT_FALSE(tracker_.faces[0].active);
    EXPECT_FALSE(isValidShape(tracker_.faces[0].shape));
    show({kCellA});
    EXPECT_EQ(step().size(), 1u);
    EXPECT_EQ(detector_.calls, calls + 1);
}

TEST_F(FaceTracker, SecondDetectionOfTheSameFaceFailsTheDuplicateTest) {
    start(2, {kCellA});
    const cv::Rect a = cellBox(kCellA);
    detector_.boxes = {a, a + cv::Point(12, 0)};
    EXPECT_EQ(step().size(), 1u);
    EXPECT_TRUE(tracker_.faces[0].active);
    EXPECT_FALSE(tracker_.faces[1].active);
    // Entry 1 got as far as a shape, then was reset to zeros.
    ASSERT_EQ(tracker_.faces[1].shape.rows, 95);
    EXPECT_EQ(cv::countNonZero(tracker_.faces[1].shape), 0);
}

TEST_F(FaceTracker, DetectionOfATrackedFaceIsNotOfferedAgain) {
    start(2, {kCellA});
    detectingCalls(18);  // call 18 detects again
    EXPECT_EQ(detector_.calls, 2);
    EXPECT_TRUE(tracker_.faces[0].active);
    // Had the detection been offered, entry 1 would have run the landmark
    // networks on it and kept a (reset) shape.
    EXPECT_TRUE(tracker_.faces[1].shape.empty());
}

// A detection that overlaps a tracked face by a third is that face again,
// found a little off: it is not offered to the idle entry either. One that
// overlaps it by less than a fifth is another face, and is offered.
TEST_F(FaceTracker, DetectionOverlappingATrackedFaceByAThirdIsNotOfferedAgain) {
    start(2, {kCellA});
    detectingCalls(17);  // call 18 detects again
    ASSERT_EQ(detector_.calls, 1);
    ASSERT_TRUE(tracker_.faces[0].active);
    const cv::Rect held = boxFromShape(tracker_.faces[0].shape);
    // The detector's box whose square (as the tracker enlarges it) lies
    // `dx` pixels right of the held box.
    auto beside = [&](int dx, float& overlap) {
        std::vector<FaceRecord> probe(1);
        probe[0].box = cv::Rect(held.x + dx, held.y, int(held.width / 1.2f), int(held.height / 1.2f));
        const cv::Rect detected = probe[0].box;
        enlargeToSquare(probe);
        overlap = rectOverlap(probe[0].box, held);
        return detected;
    };
    float overlap = 1.0f;
    int dx = 0;
    while (overlap > 0.35f && dx < held.width) beside(++dx, overlap);
    ASSERT_GT(overlap, 0.3f);
    detector_.boxes = {beside(dx, overlap)};
    step();
    ASSERT_EQ(detector_.calls, 2);
    EXPECT_TRUE(tracker_.faces[1].shape.empty()) << "offered at overlap " << overlap;

    while (overlap > 0.15f && dx < 2 * held.width) beside(++dx, overlap);
    ASSERT_LT(overlap, 0.2f);
    detector_.boxes = {beside(dx, overlap)};
    detectingCalls(20);  // call 38 detects
    ASSERT_EQ(detector_.calls, 3);
    // Offered: entry 1 ran the landmark networks on it and kept a shape.
    EXPECT_FALSE(tracker_.faces[1].shape.empty()) << "not offered at overlap " << overlap;
}

TEST_F(FaceTracker, ResetEntryKeepsItsHistory) {
    start(1, {kCellA});
    for (int i = 0; i < 5; ++i) step();
    // The first frame takes the shape as it is; later ones smooth it into
    // the history, and so does the fit that loses the face.
    EXPECT_EQ(tracker_.faces[0].history.size(), 4u);
    show({});
    step();
    EXPECT_FALSE(tracker_.faces[0].active);
    EXPECT_EQ(tracker_.faces[0].history.size(), 5u);
    // A new face in the same entry: no smoothing on its first frame, then
    // smoothing on top of the old history.
    show({kCellB});
    step();
    ASSERT_TRUE(tracker_.faces[0].active);
    EXPECT_EQ(tracker_.faces[0].history.size(), 5u);
    step();
    EXPECT_EQ(tracker_.faces[0].history.size(), 6u);
    EXPECT_TRUE(boxFromShape(tracker_.faces[0].history.back()).contains(centre(kCellB)));
}

TEST_F(FaceTracker, FrameOfANewSizeStartsAfresh) {
    start(1, {kCellA});
    for (int i = 0; i < 3; ++i) step();
    ASSERT_EQ(detector_.calls, 1);
    show({kCellA}, {800, 400});
    EXPECT_EQ(step().size(), 1u);
    EXPECT_EQ(detector_.calls, 2);  // detected at once, on this frame
    EXPECT_EQ(detector_.sizes.back(), cv::Size(800, 400));
    EXPECT_EQ(previous_.size(), cv::Size(800, 400));
    EXPECT_EQ(tracker_.detect_countdown, 4);
    EXPECT_EQ(step().size(), 1u);  // and tracking goes on at the new size
    EXPECT_EQ(detector_.calls, 2);
}

}  // namespace
}  // namespace kx
