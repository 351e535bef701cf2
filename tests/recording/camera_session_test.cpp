// A camera faster than the cap is let through evenly at the cap (opening: the bubble's test).

#include "recording/camera_session.h"

#include <random>

#include <gtest/gtest.h>

namespace marlune {
namespace {

constexpr HostTime kMs = 1'000'000;

TEST(FramePacer, LetsThroughAtMostItsRateEvenly) {
    struct Case {
        const char* what;
        double cameraFps;
        HostTime jitter;  // each picture up to this early or late
        int cap;
        int expected;  // of ten seconds of pictures
    } cases[] = {
        {"30 capped at 24", 30, 0, 24, 240},
        {"30 capped at 30, jittery", 30, 4 * kMs, 30, 300},
        {"60 capped at 30", 60, 0, 30, 300},
        {"15 capped at 24", 15, 3 * kMs, 24, 150},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FramePacer pacer(c.cap);
        std::mt19937 random(7);
        std::uniform_int_distribution<HostTime> offset(-c.jitter, c.jitter);
        const int pictures = static_cast<int>(std::lround(10 * c.cameraFps));
        int admitted = 0;
        HostTime lastAdmitted = -1'000'000'000;
        HostTime shortest = 1'000'000'000;
        for (int i = 0; i < pictures; ++i) {
            HostTime t = static_cast<HostTime>(i * 1e9 / c.cameraFps) + offset(random);
            if (pacer.admit(t)) {
                ++admitted;
                shortest = std::min(shortest, t - lastAdmitted);
                lastAdmitted = t;
            }
        }
        EXPECT_NEAR(admitted, c.expected, 2);
        // Even: no two pictures let through closer than the camera's own spacing allows.
        EXPECT_GE(shortest, static_cast<HostTime>(1e9 / c.cameraFps) - 2 * c.jitter - kMs);
    }
}

}  // namespace
}  // namespace marlune
