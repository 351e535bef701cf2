#include "core/steady_timer.h"

#include <algorithm>
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
    timer.start(Queue::main(), 0ns, 40ms, [&] {
        fired.push_back(Steady::now());
        // The first firing keeps the thread busy for two and a half periods.
        if (fired.size() == 1) std::this_thread::sleep_for(100ms);
    });
    test::runMainUntil([&] { return Steady::now() - begun >= 600ms; }, 3s);
    timer.cancel();
    const std::size_t count = fired.size();
    test::runMainFor(100ms);
    EXPECT_EQ(fired.size(), count) << "nothing runs once cancelled on its own thread";

    ASSERT_GE(count, 6u);
    // The missed firings are not run in a burst when the thread is free again.
    EXPECT_GE(fired[2] - fired[1], 20ms);
    // Later firings stay on the first one's schedule (a timer re-armed from its late firing
    // would now be half a period off it); lateness from a busy machine is allowed for by
    // looking at the median.
    std::vector<Steady::duration> offsets;
    for (std::size_t i = 1; i < count; ++i) offsets.push_back((fired[i] - begun) % 40ms);
    std::nth_element(offsets.begin(), offsets.begin() + offsets.size() / 2, offsets.end());
    EXPECT_LT(offsets[offsets.size() / 2], 10ms);
}

}  // namespace
}  // namespace marlune
