// The recording clock and how the tray shows it.

#include "recording/recording_clock.h"

#include <gtest/gtest.h>

namespace marlune {
namespace {

using namespace std::chrono_literals;

TEST(RecordingClock, PausesComeOffTheElapsedTime) {
    using Step = std::pair<char, std::chrono::milliseconds>;  // what happens, and when
    struct Case {
        const char* what;
        std::vector<Step> steps;
        std::chrono::microseconds readAt;
        std::int64_t expected;
    };
    // 's' start, 'p' pause, 'r' resume, 'x' reset.
    const Case cases[] = {
        {"never started", {}, 5s, 0},
        {"stands still while paused", {{'s', 0ms}, {'p', 3s}}, 13s, 3000},
        {"a 10 s pause leaves it 10 s behind", {{'s', 0ms}, {'p', 3s}, {'r', 13s}}, 20s, 10000},
        {"a second pause does not restart the first",
         {{'s', 0ms}, {'p', 2s}, {'p', 5s}, {'r', 6s}},
         8s,
         4000},
        {"a resume while running does nothing", {{'s', 0ms}, {'r', 2s}}, 3s, 3000},
        {"a pause before any start does nothing", {{'p', 0ms}, {'s', 1s}}, 3s, 2000},
        {"a new start forgets the old pauses",
         {{'s', 0ms}, {'p', 1s}, {'r', 5s}, {'s', 10s}},
         11s,
         1000},
        {"truncated toward zero", {{'s', 0ms}}, 999'999us, 999},
        {"never below 0", {{'s', 5s}}, 1s, 0},
    };
    const auto t0 = std::chrono::steady_clock::time_point{} + 1000s;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingClock clock;
        for (auto [op, at] : c.steps) {
            switch (op) {
                case 's':
                    clock.start(t0 + at);
                    break;
                case 'p':
                    clock.pause(t0 + at);
                    break;
                case 'r':
                    clock.resume(t0 + at);
                    break;
                default:
                    clock.reset();
            }
        }
        EXPECT_EQ(clock.elapsedMs(t0 + c.readAt), c.expected);
    }
}

}  // namespace
}  // namespace marlune
