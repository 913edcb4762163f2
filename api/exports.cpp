// Exported entry points of libkx_tracker: a thin layer over one process-wide
// tracker context. Everything else in the library is hidden.
#include "kx_tracker.h"

#include <cstdlib>

#include "api/tracker_context.h"
#include "net/thread_pool.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

// The one context of the exported functions. Its previous tracking frame
// outlives KXTracker_destroy, like the tracker state of the library's
// original interface.
kx::TrackerContext& processContext() {
    static kx::TrackerContext context;
    return context;
}

}  // namespace

extern "C" {

KX_TRACKER_API void KXTracker_init(const char* model_dir, int max_faces) {
    // KX_THREADS picks the thread count; unset or not a number from 1 to 64
    // gives the default.
    if (max_faces > 0) kx::contextSetThreads(processContext(), kx::parse_thread_count(std::getenv("KX_THREADS")));
    kx::contextInit(processContext(), model_dir != nullptr ? model_dir : "", max_faces);
}

KX_TRACKER_API void KXTracker_destroy() { kx::contextDestroy(processContext()); }

KX_TRACKER_API void KXTracker_detect(cv::Mat& image, std::vector<cv::Rect>& rects, std::vector<float>& scores) {
    kx::contextDetect(processContext(), image, rects, scores);
}

KX_TRACKER_API void KXTracker_detect_align5(cv::Mat& image, std::vector<cv::Rect>& rects,
                                            std::vector<float>& scores, std::vector<cv::Mat>& points5) {
    kx::contextDetectAlign5(processContext(), image, rects, scores, points5);
}

KX_TRACKER_API void KXTracker_detect_align95(cv::Mat& image, std::vector<cv::Rect>& rects,
                                             std::vector<float>& scores, std::vector<cv::Mat>& points5,
                                             std::vector<cv::Mat>& points95) {
    kx::contextDetectAlign95(processContext(), image, rects, scores, points5, points95);
}

KX_TRACKER_API void KXTracker_align95(cv::Mat& image, std::vector<cv::Rect>& rects, std::vector<cv::Mat>& points5,
                                      std::vector<cv::Mat>& points95) {
    kx::contextAlign95(processContext(), image, rects, points5, points95);
}

KX_TRACKER_API void KXTracker_track(cv::Mat& frame, std::vector<cv::Mat>& shapes) {
    kx::contextTrack(processContext(), frame, shapes);
}

}  // extern "C"

#if defined(_WIN32)
// Thread attach and detach notifications are of no use to the library.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
#endif
