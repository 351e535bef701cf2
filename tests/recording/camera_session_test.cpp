#include "recording/camera_session.h"

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace marlune {
namespace {

using namespace std::chrono_literals;

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
        {"29.97 capped at 30", 29.97, 2 * kMs, 30, 300},
        {"15 capped at 24", 15, 3 * kMs, 24, 150},
        {"25 capped at 24", 25, 1 * kMs, 24, 240},
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

// Pictures from a session, collected on the session's thread.
struct Collected {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<VideoFrame> frames;
    std::vector<HostTime> arrivals;
    std::vector<CameraMode> modes;

    CameraSession::FrameHandler handler() {
        return [this](VideoFrame f, const CameraMode& mode) {
            std::lock_guard lock(mutex);
            modes.push_back(mode);
            arrivals.push_back(hostTimeNow());
            frames.push_back(std::move(f));
            arrived.notify_all();
        };
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, timeout, [&] { return frames.size() >= count; });
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return frames.size();
    }
};

CameraSource testCamera(const char* size = "320x240") {
    return {"lavfi", std::string("testsrc2=size=") + size + ":rate=30,format=yuyv422,realtime"};
}

// The rate cap is the pacer's (above) and the recorded webcam movie's (webcam_bubble_test); a
// missing camera is the bubble's too.
TEST(CameraSession, DeliversTimedPicturesAndReopensOnlyForANewMode) {
    Collected got;
    auto session = CameraSession::start(testCamera("640x360"), {640, 360, 24}, got.handler());
    ASSERT_TRUE(got.waitFor(5, 10s));
    {
        std::lock_guard lock(got.mutex);
        HostTime previous = 0;
        for (std::size_t i = 0; i < got.frames.size(); ++i) {
            const VideoFrame& f = got.frames[i];
            ASSERT_TRUE(f.valid());
            EXPECT_EQ(std::pair(f.width, f.height), std::pair(640, 360));
            // Stamped on the host clock when taken, before it was handed over.
            EXPECT_GT(f.pts, previous);
            EXPECT_LE(f.pts, got.arrivals[i]);
            previous = f.pts;
        }
    }

    // A mode change is answered with whether the camera runs; only a new mode reopens it.
    auto setMode = [&](CameraMode mode) {
        auto answer = std::make_shared<std::promise<bool>>();
        session->setMode(mode, [answer](bool running) { answer->set_value(running); });
        auto future = answer->get_future();
        return future.wait_for(10s) == std::future_status::ready && future.get();
    };
    EXPECT_TRUE(setMode({640, 360, 24}));
    EXPECT_EQ(session->opens(), 1);
    EXPECT_TRUE(setMode({1280, 720, 30}));
    EXPECT_EQ(session->opens(), 2);
    ASSERT_TRUE(got.waitFor(got.count() + 5, 5s));
    {
        std::lock_guard lock(got.mutex);
        EXPECT_EQ(got.modes.back(), (CameraMode{1280, 720, 30}));
        EXPECT_EQ(got.modes.front(), (CameraMode{640, 360, 24}));
    }

    session->restart();
    for (int i = 0; i < 100 && session->opens() < 3; ++i) std::this_thread::sleep_for(50ms);
    EXPECT_EQ(session->opens(), 3);
    EXPECT_TRUE(got.waitFor(got.count() + 5, 5s)) << "pictures keep coming after a restart";
    session->stop();
    EXPECT_TRUE(session->waitEnded(5s));
    const std::size_t atEnd = got.count();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(got.count(), atEnd) << "nothing is delivered once ended";
}

}  // namespace
}  // namespace marlune
