#include "core/queue.h"

#include <atomic>
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

TEST(MainQueue, PostRunsLaterInOrderOnTheMainThread) {
    ASSERT_TRUE(isMainThread());
    std::vector<int> order;
    for (int i = 0; i < 100; ++i) {
        Queue::main().post([&, i] {
            EXPECT_TRUE(isMainThread());
            order.push_back(i);
        });
    }
    EXPECT_TRUE(order.empty()) << "post must never run inline";
    ASSERT_TRUE(runMainUntil([&] { return order.size() == 100; }));
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
}

TEST(MainQueue, KeepsEachPostingThreadsOrder) {
    constexpr int kThreads = 4, kEach = 500;
    std::vector<std::vector<int>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            EXPECT_FALSE(isMainThread());
            for (int i = 0; i < kEach; ++i) Queue::main().post([&, t, i] { seen[t].push_back(i); });
        });
    }
    for (auto& th : threads) th.join();
    ASSERT_TRUE(runMainUntil([&] {
        for (auto& s : seen)
            if (s.size() != kEach) return false;
        return true;
    }));
    for (auto& s : seen) {
        for (int i = 0; i < kEach; ++i) ASSERT_EQ(s[i], i);
    }
}

TEST(SerialQueue, RunsInOrderOnItsOwnThread) {
    auto q = Queue::makeSerial(".test.serial");
    EXPECT_EQ(q->label(), "app.marlune.studio.test.serial");
    EXPECT_FALSE(q->isCurrent());
    std::mutex m;
    std::vector<int> order;
    std::promise<std::thread::id> where;
    q->post([&] { where.set_value(std::this_thread::get_id()); });
    for (int i = 0; i < 1000; ++i) {
        q->post([&, i] {
            EXPECT_TRUE(q->isCurrent());
            std::lock_guard l(m);
            order.push_back(i);
        });
    }
    auto id = where.get_future().get();
    EXPECT_NE(id, std::this_thread::get_id());
    std::promise<void> done;
    q->post([&] { done.set_value(); });
    done.get_future().wait();
    ASSERT_EQ(order.size(), 1000u);
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(order[i], i);
}

TEST(SerialQueue, DestructionFinishesWorkAlreadyPosted) {
    std::atomic<int> ran{0};
    {
        auto q = Queue::makeSerial(".test.drain");
        for (int i = 0; i < 50; ++i)
            q->post([&] {
                std::this_thread::sleep_for(100us);
                ++ran;
            });
    }
    EXPECT_EQ(ran.load(), 50);
}

TEST(Timers, AfterFiresOnceNotEarly) {
    auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point firedAt;
    int fired = 0;
    TimerHandle h = Queue::main().after(60ms, [&] {
        ++fired;
        firedAt = std::chrono::steady_clock::now();
    });
    EXPECT_TRUE(h.isActive());
    ASSERT_TRUE(runMainUntil([&] { return fired == 1; }));
    EXPECT_GE(firedAt - start, 59ms);
    EXPECT_FALSE(h.isActive());
    runMainFor(100ms);
    EXPECT_EQ(fired, 1);
}

TEST(Timers, CancelledTimersNeverFire) {
    int afterFired = 0, everyFired = 0;
    TimerHandle a = Queue::main().after(20ms, [&] { ++afterFired; });
    TimerHandle e = Queue::main().every(10ms, [&] { ++everyFired; });
    TimerHandle copy = a;
    copy.cancel();  // copies share the timer
    e.cancel();
    EXPECT_FALSE(a.isActive());
    EXPECT_FALSE(e.isActive());
    runMainFor(80ms);
    EXPECT_EQ(afterFired, 0);
    EXPECT_EQ(everyFired, 0);
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
    std::promise<void> five;
    TimerHandle h = q->every(2ms, [&] {
        if (++ticks == 5) five.set_value();
    });
    five.get_future().wait();
    std::promise<void> cancelled;
    q->post([&] {
        h.cancel();
        cancelled.set_value();
    });
    cancelled.get_future().wait();
    int atCancel = ticks.load();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(ticks.load(), atCancel);
}

TEST(ConcurrentQueue, RunsWorkInParallel) {
    auto& pool = ConcurrentQueue::userInitiated();
    ASSERT_GE(pool.threadCount(), 2u);
    // Two tasks that each wait for the other can only both finish on two threads at once.
    std::promise<void> aStarted, bStarted;
    auto aFuture = aStarted.get_future().share();
    auto bFuture = bStarted.get_future().share();
    std::promise<void> aDone, bDone;
    pool.post([&] {
        aStarted.set_value();
        bFuture.wait();
        aDone.set_value();
    });
    pool.post([&] {
        bStarted.set_value();
        aFuture.wait();
        bDone.set_value();
    });
    EXPECT_EQ(aDone.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_EQ(bDone.get_future().wait_for(5s), std::future_status::ready);
}

}  // namespace
}  // namespace marlune
