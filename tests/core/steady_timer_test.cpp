#include "core/steady_timer.h"

#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/main_loop.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

TEST(SteadyTimer, KeepsItsScheduleAndSkipsWhatABusyThreadMissed) {
    std::vector<Steady::time_point> fired;
    SteadyTimer timer;
    const auto begun = Steady::now();
    timer.start(Queue::main(), 0ns, 20ms, [&] {
        fired.push_back(Steady::now());
        // The first firing keeps the thread busy for five periods.
        if (fired.size() == 1) std::this_thread::sleep_for(100ms);
    });
    test::runMainUntil([&] { return Steady::now() - begun >= 300ms; }, 2s);
    timer.cancel();
    const std::size_t count = fired.size();
    test::runMainFor(100ms);
    EXPECT_EQ(fired.size(), count) << "nothing runs once cancelled on its own thread";

    ASSERT_GE(count, 5u);
    EXPECT_LT(fired[0] - begun, 15ms) << "a zero first delay fires at once";
    EXPECT_GE(fired[1] - fired[0], 100ms);
    // After the stall the missed firings are not run in a burst: the next due one comes, then
    // the schedule goes on from the first firing's time, not from the late one's.
    EXPECT_GE(fired[2] - fired[1], 10ms);
    for (std::size_t i = 2; i < count; ++i) {
        auto offset = (fired[i] - fired[0]) % 20ms;
        EXPECT_LT(offset, 12ms) << "firing " << i << " left the schedule";
    }
    EXPECT_LE(count, 12u) << "about 300 ms / 20 ms less the five skipped";
}

}  // namespace
}  // namespace marlune
