#include "core/queue.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/main_loop.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;
using test::runMainFor;
using test::runMainUntil;

TEST(MainQueue, RunsLaterOnTheMainThreadInEachPostersOrder) {
    ASSERT_TRUE(isMainThread());
    constexpr int kPosters = 5, kEach = 500;  // the main thread and four others
    std::vector<std::vector<int>> seen(kPosters);
    auto postAll = [&](int poster) {
        for (int i = 0; i < kEach; ++i) {
            Queue::main().post([&, poster, i] {
                EXPECT_TRUE(isMainThread());
                seen[poster].push_back(i);
            });
        }
    };
    postAll(0);
    EXPECT_TRUE(seen[0].empty()) << "post must never run inline";
    std::vector<std::thread> threads;
    for (int t = 1; t < kPosters; ++t) threads.emplace_back(postAll, t);
    for (auto& th : threads) th.join();
    ASSERT_TRUE(runMainUntil([&] {
        for (auto& s : seen) {
            if (s.size() != kEach) return false;
        }
        return true;
    }));
    for (auto& s : seen) {
        for (int i = 0; i < kEach; ++i) ASSERT_EQ(s[i], i);
    }
}

TEST(SerialQueue, RunsInOrderOnItsOwnThreadAndDrainsWhenDestroyed) {
    std::mutex m;
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    {
        auto q = Queue::makeSerial(".test.serial");
        EXPECT_EQ(q->label(), "app.marlune.studio.test.serial");
        EXPECT_FALSE(q->isCurrent());
        std::promise<bool> current;
        q->post([&] { current.set_value(q->isCurrent()); });
        EXPECT_TRUE(current.get_future().get());
        for (int i = 0; i < 1000; ++i) {
            q->post([&, i] {
                if (i < 50) std::this_thread::sleep_for(100us);
                std::lock_guard l(m);
                order.push_back(i);
                threads.push_back(std::this_thread::get_id());
            });
        }
    }
    ASSERT_EQ(order.size(), 1000u) << "destruction finishes the work already posted";
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(order[i], i);
    EXPECT_NE(threads[0], std::this_thread::get_id());
    EXPECT_EQ(std::count(threads.begin(), threads.end(), threads[0]), 1000);
}

// Threads of this process with the given name.
int threadsNamed(const std::string& name) {
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        count += std::getline(comm, line) && line == name;
    }
    return count;
}

TEST(SerialQueue, LastOwnerLeavingOnItsOwnThreadStillDrainsAndEnds) {
    std::promise<void> ran;
    {
        auto q = Queue::makeSerial(".selfdrop");
        ASSERT_EQ(threadsNamed("marlune.selfdro"), 1);
        Queue* raw = q.get();
        // The work holding the last reference posts more, then lets the queue go.
        raw->post([q = std::move(q), &ran]() mutable {
            q->post([&ran] { ran.set_value(); });
            q.reset();
        });
    }
    EXPECT_EQ(ran.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(runMainUntil([] { return threadsNamed("marlune.selfdro") == 0; }))
        << "the queue's thread must end";
}

TEST(Timers, AfterFiresOnceNotEarlyAndCancelledTimersNever) {
    const auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point firedAt;
    int fired = 0, cancelledAfter = 0, cancelledEvery = 0;
    TimerHandle h = Queue::main().after(60ms, [&] {
        ++fired;
        firedAt = std::chrono::steady_clock::now();
    });
    TimerHandle a = Queue::main().after(20ms, [&] { ++cancelledAfter; });
    TimerHandle e = Queue::main().every(10ms, [&] { ++cancelledEvery; });
    TimerHandle copy = a;
    copy.cancel();  // copies share the timer
    e.cancel();
    EXPECT_FALSE(a.isActive());
    EXPECT_FALSE(e.isActive());
    EXPECT_TRUE(h.isActive());
    ASSERT_TRUE(runMainUntil([&] { return fired == 1; }));
    EXPECT_GE(firedAt - start, 59ms);
    EXPECT_FALSE(h.isActive());
    runMainFor(100ms);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(cancelledAfter + cancelledEvery, 0);
    TimerHandle().cancel();  // an empty handle is harmless
}

TEST(Timers, EveryRepeatsUntilCancelledFromItsOwnCallback) {
    int count = 0;
    TimerHandle h;
    h = Queue::main().every(5ms, [&] {
        if (++count == 5) h.cancel();
    });
    ASSERT_TRUE(runMainUntil([&] { return count >= 5; }));
    runMainFor(60ms);
    EXPECT_EQ(count, 5);
}

TEST(Timers, WorkOnSerialQueueThread) {
    auto q = Queue::makeSerial(".test.timer");
    std::promise<bool> onQueue;
    q->after(10ms, [&] { onQueue.set_value(q->isCurrent()); });
    EXPECT_TRUE(onQueue.get_future().get());

    std::atomic<int> ticks{0};
    std::promise<void> five, cancelled;
    TimerHandle h = q->every(2ms, [&] {
        if (++ticks == 5) five.set_value();
    });
    five.get_future().wait();
    q->post([&] {
        h.cancel();
        cancelled.set_value();
    });
    cancelled.get_future().wait();
    const int atCancel = ticks.load();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(ticks.load(), atCancel);
}

TEST(ConcurrentQueue, RunsWorkInParallel) {
    auto& pool = ConcurrentQueue::userInitiated();
    ASSERT_GE(pool.threadCount(), 2u);
    // Two tasks that each wait for the other can only both finish on two threads at once.
    std::promise<void> started[2], done[2];
    std::shared_future<void> other[2] = {started[1].get_future().share(),
                                         started[0].get_future().share()};
    for (int i = 0; i < 2; ++i) {
        pool.post([&, i] {
            started[i].set_value();
            other[i].wait();
            done[i].set_value();
        });
    }
    for (auto& d : done) EXPECT_EQ(d.get_future().wait_for(5s), std::future_status::ready);
}

}  // namespace
}  // namespace marlune
