// Screen streams on the test desktop: pacing, displays, windows, the cursor, our own windows.

#include "recording/screen_capture_engine.h"

#include <gtk/gtk.h>

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "support/ffmpeg_tool.h"
#include "support/main_loop.h"
#include "support/test_window.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;
using test::TestWindow;

// Collects what a stream delivers, keeping the newest frame.
class Collector : public ScreenCaptureEngineDelegate {
  public:
    void didOutputVideo(VideoFrame frame) override {
        std::lock_guard lock(mutex);
        ++frames;
        latest = std::move(frame);
        cv.notify_all();
    }
    void didOutputSystemAudio(AudioBuffer) override {}
    void didStopWithError(Error) override {}

    // Waits for `n` more frames and returns the newest one.
    std::optional<VideoFrame> nextFrame(int n = 2, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex);
        int target = frames + n;
        if (!cv.wait_for(lock, timeout, [&] { return frames >= target; })) return std::nullopt;
        return latest;
    }

    std::mutex mutex;
    std::condition_variable cv;
    int frames = 0;
    std::optional<VideoFrame> latest;
};

std::uint32_t pixelAt(const VideoFrame& f, int x, int y) {
    const std::uint8_t* p = f.pixels.get() + std::size_t(y) * f.stride + std::size_t(x) * 4;
    return std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
}

bool near(std::uint32_t rgb, std::uint32_t want, int tolerance = 24) {
    for (int shift : {0, 8, 16}) {
        if (std::abs(int((rgb >> shift) & 0xff) - int((want >> shift) & 0xff)) > tolerance) {
            return false;
        }
    }
    return true;
}

CaptureFilter wholeScreen() {
    CaptureFilter f;
    f.kind = CaptureFilter::Kind::display;
    f.source = PixelRect{0, 0, 1920, 1080};
    return f;
}

CaptureConfiguration config(int width, int height, int fps = 30, bool cursor = false) {
    CaptureConfiguration c;
    c.width = width;
    c.height = height;
    c.fps = fps;
    c.showsCursor = cursor;
    return c;
}

class ScreenCaptureEngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "needs the test desktop (scripts/test)";
        engine.delegate = collector;
    }
    void TearDown() override { stop(); }

    std::optional<Error> start(const CaptureFilter& f, const CaptureConfiguration& c) {
        std::promise<std::optional<Error>> started;
        engine.start(f, c, [&](std::optional<Error> e) { started.set_value(std::move(e)); });
        auto future = started.get_future();
        if (future.wait_for(10s) != std::future_status::ready) return Error{"no answer"};
        return future.get();
    }

    bool stop() {
        std::promise<void> stopped;
        engine.stop([&] { stopped.set_value(); });
        return stopped.get_future().wait_for(10s) == std::future_status::ready;
    }

    std::shared_ptr<Collector> collector = std::make_shared<Collector>();
    ScreenCaptureEngine engine;
};

TEST_F(ScreenCaptureEngineTest, ScaledDisplayPicturesLeaveOutOurWindowsAndDrawTheCursorIfAsked) {
    TestWindow other(
        {.title = "Other", .width = 300, .height = 200, .x = 100, .y = 100, .color = "#e03030"});
    TestWindow marker(
        {.title = "Marker", .width = 400, .height = 400, .x = 960, .y = 400, .color = "#20c020"});
    TestWindow plain(
        {.title = "Plain", .width = 400, .height = 400, .x = 300, .y = 300, .color = "#ffffff"});
    ASSERT_TRUE(other.id() && marker.id() && plain.id());
    GtkWidget* own = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(own), "Own");
    gtk_window_set_default_size(GTK_WINDOW(own), 300, 200);
    gtk_window_move(GTK_WINDOW(own), 700, 100);
    gtk_widget_show_all(own);
    test::runMainUntil([&] { return gtk_widget_get_mapped(own); });
    test::runMainFor(500ms);
    int ox = 0, oy = 0;
    gdk_window_get_origin(gtk_widget_get_window(own), &ox, &oy);
    ASSERT_TRUE(test::runTool({"xdotool", "mousemove", "500", "500"}));

    // In pictures two thirds the screen's size: the screen's (x, y) is at (x, y) × 2 / 3.
    auto at = [](const VideoFrame& f, int x, int y) { return pixelAt(f, x * 2 / 3, y * 2 / 3); };
    // The pointer over the plain white window.
    auto darkPixelsNearPointer = [](const VideoFrame& f) {
        int dark = 0;
        for (int y = 330; y < 354; ++y) {
            for (int x = 330; x < 354; ++x) dark += !near(pixelAt(f, x, y), 0xffffff, 60);
        }
        return dark;
    };
    // (Without the cursor asked for, none is drawn: the tracked recording's, in tests/desktop.)
    CaptureFilter f = wholeScreen();
    f.excludedProcessID = static_cast<int>(getpid());
    ASSERT_EQ(start(f, config(1280, 720, 30, true)), std::nullopt);
    auto frame = collector->nextFrame(3);
    ASSERT_TRUE(frame) << engine.statistics().framesLate << " late, "
                       << engine.statistics().framesDropped << " dropped";
    EXPECT_EQ(std::pair(frame->width, frame->height), std::pair(1280, 720));
    EXPECT_TRUE(near(at(*frame, 250, 200), 0xe03030)) << std::hex << at(*frame, 250, 200);
    EXPECT_TRUE(near(at(*frame, 1160, 600), 0x20c020)) << std::hex << at(*frame, 1160, 600);
    EXPECT_EQ(at(*frame, ox + 150, oy + 100), 0u) << "the bare desktop where ours is";
    EXPECT_EQ(at(*frame, ox + 150, oy - 10), 0u) << "with its title bar";
    EXPECT_GT(darkPixelsNearPointer(*frame), 10) << "the cursor drawn";

    // Our windows are followed as they move over others, and as they go.
    gtk_window_move(GTK_WINDOW(own), 150, 150);
    test::runMainFor(500ms);
    frame = collector->nextFrame(3);
    ASSERT_TRUE(frame);
    EXPECT_TRUE(near(at(*frame, 250, 200), 0xe03030))
        << "the window beneath ours, not a black box: " << std::hex << at(*frame, 250, 200);
    gtk_widget_destroy(own);
    test::runMainFor(500ms);
    frame = collector->nextFrame(3);
    ASSERT_TRUE(frame);
    EXPECT_TRUE(near(at(*frame, 250, 200), 0xe03030)) << "nothing left out once it has gone";
}

TEST_F(ScreenCaptureEngineTest, AWindowIsRecordedCoveredAndResized) {
    TestWindow recorded(
        {.title = "Recorded", .width = 400, .height = 300, .x = 100, .y = 100, .color = "#c03090"});
    TestWindow* window = &recorded;
    TestWindow cover(
        {.title = "Cover", .width = 300, .height = 300, .x = 150, .y = 150, .color = "#30c0c0"});
    ASSERT_NE(window->id(), 0u);
    ASSERT_NE(cover.id(), 0u);
    CaptureFilter f;
    f.kind = CaptureFilter::Kind::window;
    f.id = window->id();
    f.source = PixelRect{0, 0, 400, 300};
    ASSERT_EQ(start(f, config(400, 300)), std::nullopt);
    auto frame = collector->nextFrame(3);
    ASSERT_TRUE(frame);
    EXPECT_EQ(std::pair(frame->width, frame->height), std::pair(400, 300));
    EXPECT_TRUE(near(pixelAt(*frame, 200, 150), 0xc03090)) << "its own content where covered";

    // Twice as wide: the frames keep their size and the window its shape (bars above, below).
    ASSERT_TRUE(window->command("resize 800 300"));
    frame = collector->nextFrame(6);
    ASSERT_TRUE(frame);
    EXPECT_EQ(std::pair(frame->width, frame->height), std::pair(400, 300));
    EXPECT_TRUE(near(pixelAt(*frame, 200, 150), 0xc03090));
    EXPECT_EQ(pixelAt(*frame, 200, 20), 0u);
    EXPECT_EQ(pixelAt(*frame, 200, 280), 0u);
    ASSERT_TRUE(window->command("color #3050e0"));
    frame = collector->nextFrame(3);
    ASSERT_TRUE(frame);
    EXPECT_TRUE(near(pixelAt(*frame, 200, 150), 0x3050e0)) << "the renamed picture follows";
}

TEST_F(ScreenCaptureEngineTest, SystemAudioWithoutASoundServerIsRefused) {
    CaptureConfiguration withAudio = config(1920, 1080);
    withAudio.capturesAudio = true;
    const char* server = std::getenv("PULSE_SERVER");
    const std::string saved = server ? server : "";
    ::setenv("PULSE_SERVER", "unix:/nonexistent/pulse.sock", 1);
    auto error = start(wholeScreen(), withAudio);
    if (server) {
        ::setenv("PULSE_SERVER", saved.c_str(), 1);
    } else {
        ::unsetenv("PULSE_SERVER");
    }
    EXPECT_EQ(error, Error{"System audio cannot be recorded: no sound server is running."});
    EXPECT_FALSE(engine.isRunning());
    EXPECT_TRUE(stop()) << "stopping a stream that never started still completes";
}

}  // namespace
}  // namespace marlune
