#include "net/thread_pool.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>

namespace kx {

namespace {

// The slot of the task this thread is running, or -1 outside any task: a
// run() from inside a task must not wait for workers that may all be busy
// with the outer job.
thread_local int current_slot = -1;

// How long an idle worker keeps looking for the next job before it sleeps:
// some tens of microseconds.
constexpr int kSpins = 4000;

inline void pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
}

// Runs one task with current_slot set, restoring the outer value after.
void run_one(const std::function<void(int, int)>& task, int index, int slot) {
    const int outer = current_slot;
    current_slot = slot;
    try {
        task(index, slot);
    } catch (...) {
        current_slot = outer;
        throw;
    }
    current_slot = outer;
}

}  // namespace

ThreadPool::ThreadPool(int threads) {
    const int n = std::max(threads, 1);
    workers_.reserve(size_t(n - 1));
    next_.assign(size_t(n), 0);
    end_.assign(size_t(n), 0);
    try {
        for (int slot = 1; slot < n; ++slot) workers_.emplace_back(&ThreadPool::work, this, slot);
    } catch (...) {
        // A thread that cannot start leaves a smaller pool, not a failure.
    }
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
}

void ThreadPool::work(int slot) {
    long long seen = 0;
    for (;;) {
        // A network runs its layers back to back: the next job usually comes
        // within microseconds, sooner than a sleeping thread wakes up.
        for (int i = 0; i < kSpins && job_.load() == seen && !stopping_.load(); ++i) pause();
        std::unique_lock<std::mutex> hold(lock_);
        wake_.wait(hold, [&] { return stopping_.load() || job_.load() != seen; });
        if (stopping_) return;
        seen = job_;
        hold.unlock();
        drain(slot);
    }
}

int ThreadPool::take(int slot) {
    if (next_[size_t(slot)] < end_[size_t(slot)]) return next_[size_t(slot)]++;
    // The nearest neighbour with indices left gives the end of its share
    // that touches this slot's: a share below gives its last index, a share
    // above its first.
    const int slots = size();
    for (int d = 1; d < slots; ++d) {
        const int below = slot - d, above = slot + d;
        if (below >= 0 && next_[size_t(below)] < end_[size_t(below)]) return --end_[size_t(below)];
        if (above < slots && next_[size_t(above)] < end_[size_t(above)]) return next_[size_t(above)]++;
    }
    return -1;
}

void ThreadPool::drain(int slot) {
    std::unique_lock<std::mutex> hold(lock_);
    for (int index = take(slot); index >= 0; index = take(slot)) {
        const std::function<void(int, int)>* task = task_;
        hold.unlock();
        std::exception_ptr failure;
        try {
            run_one(*task, index, slot);
        } catch (...) {
            failure = std::current_exception();
        }
        hold.lock();
        if (failure && !error_) error_ = failure;
        if (--unfinished_ == 0) done_.notify_all();
    }
}

void ThreadPool::run(int count, const std::function<void(int, int)>& task) {
    if (count <= 0) return;
    if (current_slot >= 0) {
        for (int i = 0; i < count; ++i) run_one(task, i, current_slot);
        return;
    }
    std::lock_guard<std::mutex> one_job(run_lock_);
    if (workers_.empty() || count == 1) {
        for (int i = 0; i < count; ++i) run_one(task, i, 0);
        return;
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        task_ = &task;
        const int slots = size();
        for (int s = 0; s < slots; ++s) {
            next_[size_t(s)] = int(int64_t(count) * s / slots);
            end_[size_t(s)] = int(int64_t(count) * (s + 1) / slots);
        }
        unfinished_ = count;
        error_ = nullptr;
        ++job_;
    }
    wake_.notify_all();
    drain(0);
    // The last tasks of a layer's job end within microseconds of each other;
    // looking for that beats sleeping, whose wake-up can take longer than a
    // small layer.
    for (int i = 0; i < kSpins && unfinished_.load() != 0; ++i) pause();
    std::exception_ptr failure;
    {
        std::unique_lock<std::mutex> hold(lock_);
        done_.wait(hold, [&] { return unfinished_ == 0; });
        task_ = nullptr;
        failure = error_;
        error_ = nullptr;
    }
    if (failure) std::rethrow_exception(failure);
}

int default_thread_count() {
    const unsigned cores = std::thread::hardware_concurrency();
    return int(std::clamp(cores, 1u, 4u));
}

int parse_thread_count(const char* text) {
    if (text == nullptr) return 0;
    while (std::isspace(static_cast<unsigned char>(*text))) ++text;
    if (!std::isdigit(static_cast<unsigned char>(*text))) return 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    while (std::isspace(static_cast<unsigned char>(*end))) ++end;
    if (*end != '\0' || value < 1 || value > 64) return 0;
    return int(value);
}

void parallel_for(ThreadPool* pool, int count, const std::function<void(int, int)>& task) {
    if (pool != nullptr) {
        pool->run(count, task);
        return;
    }
    for (int i = 0; i < count; ++i) task(i, 0);
}

}  // namespace kx
