// The Wayland capture path end to end: the screen-cast portal (scripts/with-wayland's stand-in
// over a headless mutter) grants a stream, and PipeWireStream receives the screen from it.
// Skipped outside a Wayland session, so the X11 suite runs them as skips.

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/wayland/pipewire_stream.h"
#include "platform/wayland/portal_screen_cast.h"
#include "support/main_loop.h"
#include "wayland/pointer_mover.h"

namespace marlune::wayland {
namespace {

using namespace std::chrono_literals;

// What the stream's thread has seen, read by the test's thread.
struct Seen {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::int64_t> pts;
    std::vector<PixelSize> sizes;
    bool opaque = true;
    std::optional<PipeWireCursor> cursor;
    PixelSize firstCursorAt;  // x, y of the first cursor report
    PixelSize cursorPicture;  // of the last non-empty cursor picture
    std::optional<Error> ended;

    bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = 30s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, done);
    }
};

class ScreenCastTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::getenv("WAYLAND_DISPLAY")) GTEST_SKIP() << "needs scripts/with-wayland";
        // Something that keeps changing on the screen: mutter casts only what was redrawn.
        const char* argv[] = {"/usr/bin/python3", MARLUNE_SOURCE_DIR "/tests/wayland/painter.py",
                              nullptr};
        gchar** env = g_environ_setenv(g_get_environ(), "GDK_BACKEND", "wayland", TRUE);
        ASSERT_TRUE(g_spawn_async(nullptr, const_cast<char**>(argv), env, G_SPAWN_DO_NOT_REAP_CHILD,
                                  nullptr, nullptr, &painter_, nullptr));
        g_strfreev(env);
    }

    void TearDown() override {
        stream_.reset();  // before `seen_`, which its callbacks write
        if (painter_ > 0) {
            kill(painter_, SIGTERM);
            waitpid(painter_, nullptr, 0);
        }
    }

    // Runs the portal session up to Start and connects a stream to its one node.
    void startStream() {
        std::optional<Result<PortalScreenCastStarted>> started;
        portal_.start({.timeout = 20s}, [&](auto result) { started = std::move(result); });
        ASSERT_TRUE(test::runMainUntil([&] { return started.has_value(); }, 30s));
        ASSERT_TRUE(*started) << started->error().message;
        started_ = **started;
        ASSERT_EQ(started_.streams.size(), 1u);

        std::optional<Result<int>> remote;
        portal_.openPipeWireRemote([&](Result<int> fd) { remote = fd; });
        ASSERT_TRUE(test::runMainUntil([&] { return remote.has_value(); }, 30s));
        ASSERT_TRUE(*remote) << remote->error().message;

        PipeWireStreamCallbacks callbacks;
        callbacks.onFrame = [this](const PipeWireFrame& frame) {
            std::lock_guard lock(seen_.mutex);
            seen_.pts.push_back(frame.ptsUs);
            seen_.sizes.push_back({frame.pixels.width, frame.pixels.height});
            for (int y = 0; y < frame.pixels.height; y += 97)
                seen_.opaque = seen_.opaque && frame.pixels.row(y)[3] == 255;
            seen_.changed.notify_all();
        };
        callbacks.onCursor = [this](const PipeWireCursor& cursor) {
            std::lock_guard lock(seen_.mutex);
            if (!seen_.cursor) seen_.firstCursorAt = {cursor.x, cursor.y};
            seen_.cursor = cursor;
            if (cursor.image && !cursor.image->empty())
                seen_.cursorPicture = {cursor.image->width, cursor.image->height};
            seen_.changed.notify_all();
        };
        callbacks.onEnded = [this](const Error& error) {
            std::lock_guard lock(seen_.mutex);
            seen_.ended = error;
            seen_.changed.notify_all();
        };
        auto stream = PipeWireStream::connect(**remote, started_.streams[0].nodeId, callbacks);
        ASSERT_TRUE(stream) << stream.error().message;
        stream_ = std::move(*stream);
    }

    GPid painter_ = 0;
    PortalScreenCast portal_;
    PortalScreenCastStarted started_;
    Seen seen_;
    std::unique_ptr<PipeWireStream> stream_;
};

TEST_F(ScreenCastTest, DeliversTheScreenAsOpaqueBgraOnTheMonotonicClock) {
    std::int64_t before = g_get_monotonic_time();
    ASSERT_NO_FATAL_FAILURE(startStream());
    EXPECT_EQ(started_.streams[0].area, (PixelRect{0, 0, 1280, 720}));
    EXPECT_EQ(started_.cursorMode, PortalCursorMode::metadata);
    EXPECT_FALSE(started_.restoreToken.empty());

    test::PointerMover pointer;
    auto enough = [&] {
        return (seen_.pts.size() >= 10 && seen_.cursorPicture.width > 0) || seen_.ended;
    };
    for (int i = 0; i < 150 && !seen_.waitFor(enough, 200ms); ++i) pointer.move(7, 5);
    ASSERT_TRUE(seen_.waitFor(enough, 1s)) << "frames received: " << seen_.pts.size();
    std::int64_t after = g_get_monotonic_time();
    std::lock_guard lock(seen_.mutex);
    ASSERT_FALSE(seen_.ended) << seen_.ended->message;
    for (std::size_t i = 0; i < seen_.pts.size(); ++i) {
        EXPECT_EQ(seen_.sizes[i], (PixelSize{1280, 720})) << "frame " << i;
        EXPECT_GE(seen_.pts[i], before) << "frame " << i;
        EXPECT_LE(seen_.pts[i], after) << "frame " << i;
        if (i > 0) {
            EXPECT_GT(seen_.pts[i], seen_.pts[i - 1]) << "frame " << i;
        }
    }
    EXPECT_TRUE(seen_.opaque);
    // The pointer went right and down on the screen, and the metadata followed it.
    ASSERT_TRUE(seen_.cursor->visible);
    EXPECT_GT(seen_.cursor->x, seen_.firstCursorAt.width);
    EXPECT_GT(seen_.cursor->y, seen_.firstCursorAt.height);
    EXPECT_LT(seen_.cursor->x, 1280);
    EXPECT_LT(seen_.cursor->y, 720);
    // The painter's own cursor (GTK's arrow), which mutter sends once the pointer is over it.
    EXPECT_GT(seen_.cursorPicture.height, 0);
}

TEST_F(ScreenCastTest, ClosingTheSessionEndsTheStream) {
    ASSERT_NO_FATAL_FAILURE(startStream());
    ASSERT_TRUE(seen_.waitFor([&] { return !seen_.pts.empty() || seen_.ended; }));
    portal_.close();
    ASSERT_TRUE(seen_.waitFor([&] { return seen_.ended.has_value(); }));
}

}  // namespace
}  // namespace marlune::wayland
