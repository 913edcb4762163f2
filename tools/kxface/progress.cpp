#include "progress.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace kxface {

namespace {
constexpr int kBarWidth = 30;
}

Progress::Progress(long long total_frames)
    : enabled_(::isatty(STDERR_FILENO) == 1),
      total_(total_frames),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {}

void Progress::update(long long frames_done, int faces) {
    last_frames_ = frames_done;
    last_faces_ = faces;
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - last_draw_ < std::chrono::milliseconds(100)) return;
    last_draw_ = now;
    draw(frames_done, faces);
}

void Progress::draw(long long frames_done, int faces) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double fps = seconds > 0.0 ? static_cast<double>(frames_done) / seconds : 0.0;
    std::string line = "\r";
    if (total_ > 0) {
        const long long shown = frames_done < total_ ? frames_done : total_;
        const int filled = static_cast<int>(kBarWidth * shown / total_);
        line += "[" + std::string(size_t(filled), '#') + std::string(size_t(kBarWidth - filled), ' ') + "] ";
        line += std::to_string(frames_done) + "/" + std::to_string(total_) + " frames";
    } else {
        line += std::to_string(frames_done) + " frames";
    }
    char tail[64];
    std::snprintf(tail, sizeof tail, "  %.1f fps  %d face%s tracked   ", fps, faces, faces == 1 ? "" : "s");
    line += tail;
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::finish() {
    if (!enabled_) return;
    draw(last_frames_, last_faces_);
    std::fputs("\n", stderr);
    std::fflush(stderr);
}

}  // namespace kxface
