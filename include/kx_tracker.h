#pragma once
// kx_tracker: finds faces in colour images, places 5 or 95 landmarks on them
// and follows faces through video.
//
// Images are cv::Mat of 8-bit, three channels, blue-green-red. Every output
// list belongs to the caller and is emptied by the call before anything is
// added; an image that is empty or not 8-bit three-channel, or a call made
// while no tracker runs (before KXTracker_init or after KXTracker_destroy),
// gives empty lists. Coordinates are pixels of the image passed in.
//
// The functions share one process-wide tracker and are not reentrant: call
// them from one thread at a time. Applications that need several trackers or
// several threads use kx::FaceAnalyzer (kx/face_analyzer.h) instead.
//
// Progress and failures are written as text lines on standard output. No
// function throws: a failure inside one (such as running out of memory)
// gives empty lists and one line on standard error.
//
// Limits: at most 1024 tracked faces (KXTracker_init with more does nothing
// but write one line on standard error); tracking frames of at most 16
// megapixels (4096 x 4096); a network whose blobs would need more than 2 GiB
// at its declared input size is refused at load.
//
// The networks share their work on a pool of threads of the tracker's own.
// KXTracker_init reads its size from the environment variable KX_THREADS (a
// whole number from 1 to 64); unset or anything else gives the default, the
// number of cores, at most 4. Results are the same for every thread count.
#include <vector>

#include <opencv2/core.hpp>

// The library's own build defines KX_TRACKER_BUILD and exports the entry
// points; applications that include this header import them.
#if defined(_WIN32)
#if defined(KX_TRACKER_BUILD)
#define KX_TRACKER_API __declspec(dllexport)
#else
#define KX_TRACKER_API __declspec(dllimport)
#endif
#else
#define KX_TRACKER_API __attribute__((visibility("default")))
#endif

extern "C" {

// Loads the models of `model_dir` (a '/' is appended when missing):
// "frcnn_full_cross_500000.dat" (detector), "model95_tern.bin" (landmark
// refinement), "cdcn_iter_500000.dat" (five points),
// "cdcn95_verify_iter_50000.dat" (95 points and face check), and prepares
// `max_faces` tracking slots. max_faces <= 0 does nothing; max_faces above
// 1024 does nothing but write one line on standard error. A model that fails
// to load is reported on the console and leaves a component that finds
// nothing; a tracker that was already running is shut down first.
KX_TRACKER_API void KXTracker_init(const char* model_dir, int max_faces);

// Frees the models and the tracking state. Harmless when nothing runs.
KX_TRACKER_API void KXTracker_destroy();

// Faces of `image`: `rects` receives square face boxes, `scores` the
// detector's confidence of each (same order, best first).
KX_TRACKER_API void KXTracker_detect(cv::Mat& image, std::vector<cv::Rect>& rects, std::vector<float>& scores);

// Faces with five landmarks: `rects` and `scores` as KXTracker_detect,
// `points5` one 5 x 2 float matrix per face (rows x, y: the two eyes, the
// nose, the two mouth corners). Faces whose points cannot be placed are left
// out of all three lists.
KX_TRACKER_API void KXTracker_detect_align5(cv::Mat& image, std::vector<cv::Rect>& rects,
                                            std::vector<float>& scores, std::vector<cv::Mat>& points5);

// Faces with five and 95 landmarks: as KXTracker_detect_align5, plus
// `points95`, one 95 x 2 float matrix per face. Faces whose points cannot
// be placed are left out of all four lists.
KX_TRACKER_API void KXTracker_detect_align95(cv::Mat& image, std::vector<cv::Rect>& rects,
                                             std::vector<float>& scores, std::vector<cv::Mat>& points5,
                                             std::vector<cv::Mat>& points95);

// Landmarks of faces whose boxes the caller knows: `rects` (input) are face
// boxes in image pixels; `points5` and `points95` receive the 5 x 2 and
// 95 x 2 float point sets of every box whose points could be placed, in the
// caller's order (boxes that fail leave no entry).
KX_TRACKER_API void KXTracker_align95(cv::Mat& image, std::vector<cv::Rect>& rects, std::vector<cv::Mat>& points5,
                                      std::vector<cv::Mat>& points95);

// One video frame: `shapes` receives the 95 x 2 float shape of every face
// tracked in this frame. Frames of one video must have the same size; a
// frame of another size starts tracking afresh. Every few frames the face
// detector runs on the full frame, at a cost that grows with the frame
// (about 2.5 GB of memory and several seconds for 4000 x 3000; 1920 x 1080
// takes about 0.5 GB). A frame above 16 megapixels gives empty shapes and
// one line on standard error (once per frame size).
KX_TRACKER_API void KXTracker_track(cv::Mat& frame, std::vector<cv::Mat>& shapes);

}  // extern "C"
