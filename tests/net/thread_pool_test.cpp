#include "net/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace kx {
namespace {

// Every index once, slots within the pool and never held by two tasks at
// the same moment (the promise per-slot scratch memory relies on), for
// task counts below, at and above the thread count, over several jobs in a
// row on the same workers.
TEST(ThreadPool, RunsEveryIndexOnceWithExclusiveSlots) {
    for (int threads : {1, 2, 3, 4}) {
        ThreadPool pool(threads);
        ASSERT_EQ(pool.size(), threads);
        for (int count : {0, 1, 2, 5, 64}) {
            for (int job = 0; job < 3; ++job) {
                std::vector<std::atomic<int>> hits(size_t(count) + 1);
                std::vector<std::atomic<int>> busy(static_cast<size_t>(threads));
                std::atomic<int> clashes{0}, bad_slots{0};
                pool.run(count, [&](int index, int slot) {
                    if (slot < 0 || slot >= threads) {
                        ++bad_slots;
                        return;
                    }
                    if (busy[size_t(slot)].fetch_add(1) != 0) ++clashes;
                    ++hits[size_t(index)];
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
                    --busy[size_t(slot)];
                });
                for (int i = 0; i < count; ++i) EXPECT_EQ(hits[size_t(i)].load(), 1) << "index " << i;
                EXPECT_EQ(hits[size_t(count)].load(), 0);
                EXPECT_EQ(clashes.load(), 0) << threads << " threads, " << count << " tasks";
                EXPECT_EQ(bad_slots.load(), 0);
            }
        }
    }
}

// Each slot starts at the first index of its own share (the s-th of equal
// runs of the indices), so that layers cut alike give a thread the same
// rows one after another. The first task of every slot waits until all
// slots have begun one, so no slot can have emptied its share and taken
// from another's before the others start.
TEST(ThreadPool, EachSlotStartsAtItsOwnShare) {
    for (int threads : {2, 3}) {
        for (int count : {threads, 10, 31}) {
            ThreadPool pool(threads);
            std::vector<std::atomic<int>> first(static_cast<size_t>(threads));
            for (auto& f : first) f = -1;
            std::atomic<int> started{0};
            pool.run(count, [&](int index, int slot) {
                int none = -1;
                if (!first[size_t(slot)].compare_exchange_strong(none, index)) return;
                ++started;
                const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                while (started.load() < threads && std::chrono::steady_clock::now() < give_up) {
                    std::this_thread::yield();
                }
            });
            for (int s = 0; s < threads; ++s) {
                EXPECT_EQ(first[size_t(s)].load(), count * s / threads)
                    << threads << " threads, " << count << " tasks, slot " << s;
            }
        }
    }
}

// With two threads and tasks that wait for each other, both must really
// run at once: a pool that ran everything on the caller would hang here,
// so the wait is bounded and the test checks it was not needed.
TEST(ThreadPool, TwoThreadsRunTasksAtTheSameTime) {
    ThreadPool pool(2);
    std::atomic<int> arrived{0};
    std::atomic<int> met{0};
    pool.run(2, [&](int, int) {
        ++arrived;
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (arrived.load() < 2 && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
        if (arrived.load() == 2) ++met;
    });
    EXPECT_EQ(met.load(), 2);
}

// The first exception reaches the caller after every task has ended, and
// the pool still works afterwards.
TEST(ThreadPool, RethrowsATaskExceptionAndKeepsWorking) {
    ThreadPool pool(3);
    std::atomic<int> ran{0};
    EXPECT_THROW(pool.run(20,
                          [&](int index, int) {
                              ++ran;
                              if (index == 7) throw std::runtime_error("task 7");
                          }),
                 std::runtime_error);
    EXPECT_EQ(ran.load(), 20);
    std::atomic<int> after{0};
    pool.run(10, [&](int, int) { ++after; });
    EXPECT_EQ(after.load(), 10);
}

// A run from inside a task cannot wait for workers that are busy with the
// outer job: it runs on the calling thread, in the caller's slot.
TEST(ThreadPool, NestedRunStaysOnTheCallingThread) {
    ThreadPool pool(2);
    std::atomic<int> inner{0}, wrong_slot{0};
    pool.run(4, [&](int, int slot) {
        const std::thread::id self = std::this_thread::get_id();
        pool.run(3, [&](int, int inner_slot) {
            if (inner_slot != slot || std::this_thread::get_id() != self) ++wrong_slot;
            ++inner;
        });
    });
    EXPECT_EQ(inner.load(), 12);
    EXPECT_EQ(wrong_slot.load(), 0);
}

// Two threads sharing one pool take turns instead of mixing their jobs.
TEST(ThreadPool, CallersFromTwoThreadsTakeTurns) {
    ThreadPool pool(2);
    std::atomic<long> total{0};
    auto caller = [&] {
        for (int job = 0; job < 50; ++job) pool.run(8, [&](int index, int) { total += index; });
    };
    std::thread a(caller), b(caller);
    a.join();
    b.join();
    EXPECT_EQ(total.load(), 2L * 50 * 28);
}

TEST(ThreadPool, ParallelForWithoutAPoolRunsInOrderOnSlotZero) {
    std::vector<int> order;
    parallel_for(nullptr, 4, [&](int index, int slot) { order.push_back(index * 10 + slot); });
    EXPECT_EQ(order, (std::vector<int>{0, 10, 20, 30}));
    EXPECT_EQ(slot_count(nullptr), 1);
    ThreadPool pool(0);  // counts as one thread
    EXPECT_EQ(slot_count(&pool), 1);
}

TEST(ThreadCount, DefaultIsTheCoresUpToFour) {
    const int n = default_thread_count();
    const unsigned cores = std::thread::hardware_concurrency();
    EXPECT_GE(n, 1);
    EXPECT_LE(n, 4);
    if (cores >= 1 && cores <= 4) {
        EXPECT_EQ(n, int(cores));
    }
}

TEST(ThreadCount, ParsesWholeNumbersFromOneTo64Only) {
    EXPECT_EQ(parse_thread_count("1"), 1);
    EXPECT_EQ(parse_thread_count("2"), 2);
    EXPECT_EQ(parse_thread_count(" 8 "), 8);
    EXPECT_EQ(parse_thread_count("64"), 64);
    for (const char* refused : {"", " ", "0", "65", "-2", "+2", "two", "2x", "1.5", "99999999999999999999"}) {
        EXPECT_EQ(parse_thread_count(refused), 0) << '"' << refused << '"';
    }
    EXPECT_EQ(parse_thread_count(nullptr), 0);
}

}  // namespace
}  // namespace kx
