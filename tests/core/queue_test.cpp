// Queues and their timers: order, thread, draining and cancelling.

#include "core/queue.h"

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/main_loop.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;
using test::runMainFor;
using test::runMainUntil;

TEST(MainQueue, RunsLaterOnTheMainThreadInEachPostersOrder) {
    constexpr int kPosters = 5, kEach = 500;  // the main thread and four others
    std::vector<std::vector<int>> seen(kPosters);
    auto postAll = [&](int poster) {
        for (int i = 0; i < kEach; ++i) {
            Queue::main().post([&, poster, i] {
                MARLUNE_ASSERT_ON(Queue::main());
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
        return std::all_of(seen.begin(), seen.end(), [](auto& s) { return s.size() == kEach; });
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
        EXPECT_FALSE(q->isCurrent());
        for (int i = 0; i < 1000; ++i) {
            q->post([&, i] {
                EXPECT_TRUE(q->isCurrent());
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

TEST(Timers, FireOnceNotEarlyAndNeverOnceCancelled) {
    const auto start = Steady::now();
    Steady::time_point firedAt;
    int fired = 0, cancelledAfter = 0, cancelledEvery = 0, repeats = 0;
    TimerHandle h = Queue::main().after(60ms, [&] {
        ++fired;
        firedAt = Steady::now();
    });
    TimerHandle a = Queue::main().after(20ms, [&] { ++cancelledAfter; });
    TimerHandle e = Queue::main().every(10ms, [&] { ++cancelledEvery; });
    TimerHandle copy = a;
    copy.cancel();  // copies share the timer
    e.cancel();
    EXPECT_FALSE(a.isActive() || e.isActive());
    TimerHandle r;
    r = Queue::main().every(5ms, [&] {
        if (++repeats == 5) r.cancel();  // from its own callback
    });
    ASSERT_TRUE(runMainUntil([&] { return fired == 1 && repeats >= 5; }));
    EXPECT_GE(firedAt - start, 59ms) << "never early";
    EXPECT_FALSE(h.isActive());
    runMainFor(100ms);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(repeats, 5);
    EXPECT_EQ(cancelledAfter + cancelledEvery, 0);
    TimerHandle().cancel();  // an empty handle is harmless
}

}  // namespace
}  // namespace marlune
