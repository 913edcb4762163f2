#pragma once
// The progress line of `kxface track` on a terminal: frames done (of the
// total when known), frames per second and faces tracked, redrawn in place
// at most ten times a second. Silent when standard error is not a terminal.
#include <chrono>

namespace kxface {

class Progress {
public:
    explicit Progress(long long total_frames);
    void update(long long frames_done, int faces);
    // Ends the line so that later output starts on a fresh one.
    void finish();

private:
    void draw(long long frames_done, int faces);
    bool enabled_;
    long long total_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_draw_;
    bool drawn_ = false;
    long long last_frames_ = 0;
    int last_faces_ = 0;
};

}  // namespace kxface
