#pragma once
#include <atomic>
#include <cstddef>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kx {

// A fixed set of worker threads that a network's layers share out their work
// on. A pool of n threads runs tasks on n - 1 workers and on the thread that
// asks, so a pool of one thread starts no thread at all.
//
// Each analyzer (and the process-wide tracker of the exported functions)
// owns its pool; nothing is shared between two of them. Layers cut their
// work into tasks by a rule that depends on the shapes alone, never on the
// number of threads, and every output value is computed by exactly one task:
// results are the same to the bit for every thread count.
class ThreadPool {
public:
    // threads < 1 counts as 1.
    explicit ThreadPool(int threads);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    int size() const { return int(workers_.size()) + 1; }

    // Runs task(index, slot) for every index in [0, count) and returns when
    // all have finished. `slot` is in [0, size()) and no two tasks that run
    // at the same time share one, so a task may use per-slot scratch memory.
    // Slot s first takes the indices of its own share, the s-th of size()
    // equal runs of [0, count), in order; a slot whose share is done takes
    // the indices left in a neighbour's share nearest its own. So layers cut
    // the same way one after another give each thread the same part of the
    // data, which stays in that core's cache.
    // The first exception a task throws is rethrown here once every task has
    // ended. Calls from two threads take turns; a call from inside a task
    // runs its tasks on the calling thread alone.
    void run(int count, const std::function<void(int index, int slot)>& task);

private:
    void work(int slot);
    // Takes indices of the current job until none are left.
    void drain(int slot);
    // The next index for `slot` (see run), or -1 when none is left; under lock_.
    int take(int slot);

    std::vector<std::thread> workers_;
    std::mutex run_lock_;  // one job at a time
    std::mutex lock_;      // guards everything below
    std::condition_variable wake_;
    std::condition_variable done_;
    const std::function<void(int, int)>* task_ = nullptr;
    // Per slot, the indices of its share not yet handed out: [next_, end_).
    std::vector<int> next_;
    std::vector<int> end_;
    // Indices handed out or pending that have not ended; changed under the
    // lock, also read without it by the caller waiting for the last ones.
    std::atomic<int> unfinished_{0};
    // Bumped for every job, so that workers see a new one; also read without
    // the lock by workers that wait for the next job spinning briefly.
    std::atomic<long long> job_{0};
    std::atomic<bool> stopping_{false};
    std::exception_ptr error_;
};

// The default thread count: the number of cores, at most 4 (and at least 1).
int default_thread_count();

// Reads a thread count as the environment variable KX_THREADS gives it: a
// whole number from 1 to 64, surrounding blanks allowed. Anything else
// (absent, empty, zero, negative, not a number) gives 0, meaning "use the
// default".
int parse_thread_count(const char* text);

// task(index, slot) for every index, on the pool when there is one, else one
// after another on the calling thread with slot 0.
void parallel_for(ThreadPool* pool, int count, const std::function<void(int index, int slot)>& task);

// How many slots a parallel_for on `pool` may use at once.
inline int slot_count(const ThreadPool* pool) { return pool != nullptr ? pool->size() : 1; }

// The distance between two slots' parts of a per-slot scratch of `values`
// floats or ints each: rounded up to whole 64-byte cache lines and one line
// more, so that no line holds values of two slots whatever the buffer's
// alignment (two cores writing one line pass it back and forth at every
// write).
inline size_t slot_stride(size_t values) { return (values + 15) / 16 * 16 + 16; }

}  // namespace kx
