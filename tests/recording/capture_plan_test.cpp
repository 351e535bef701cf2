// Planning a recording: which source, what size, what frame rate, what the user is told.

#include "recording/capture_plan.h"

#include <gtest/gtest.h>

namespace marlune {
namespace {

constexpr std::uint32_t kDisplay = 77;
constexpr std::uint32_t kWindow = 4194307;
constexpr int kOwnPid = 1234;

ShareableContent contentWithDisplay(int width, int height, double scale = 1) {
    ShareableContent c;
    c.scale = scale;
    ShareableDisplay d;
    d.displayID = kDisplay;
    d.width = width;
    d.height = height;
    d.pixels = PixelRect{100, 0, static_cast<int>(width * scale), static_cast<int>(height * scale)};
    c.displays.push_back(d);
    return c;
}

ShareableContent contentWithWindow(double width, double height, double scale = 1) {
    ShareableContent c = contentWithDisplay(1920, 1080, scale);
    ShareableWindow w;
    w.windowID = kWindow;
    w.width = width;
    w.height = height;
    w.processID = 999;
    w.title = "Notes";
    c.windows.push_back(w);
    return c;
}

RecordingOptions options(const char* kind, std::uint32_t id, int fps, std::int64_t capHeight) {
    RecordingOptions o;
    o.sourceKind = kind;
    o.sourceID = id;
    o.fps = fps;
    o.capHeight = capHeight;
    return o;
}

TEST(CapturePlan, SizeFrameRateAndNotice) {
    struct Case {
        const char* what;
        int width, height, fps;
        std::int64_t capHeight;
        int planWidth, planHeight, planFps;
        std::optional<std::string> notice;
    };
    const std::string fpsNotice =
        "Capturing at 30 fps to keep this resolution artifact-free on this computer.";
    const Case cases[] = {
        {"4K at 60 drops to 30 and still scales", 3840, 2160, 60, 0, 3690, 2076, 30,
         "Capture scaled to 2076p to stay artifact-free on this computer."},
        {"2880 × 1800 at 60 drops to 30 and keeps its size", 2880, 1800, 60, 0, 2880, 1800, 30,
         fpsNotice},
        {"1080p60 is within the limit", 1920, 1080, 60, 0, 1920, 1080, 60, std::nullopt},
        {"4K at 30 is never raised, only scaled", 3840, 2160, 30, 0, 3690, 2076, 30,
         "Capture scaled to 2076p to stay artifact-free on this computer."},
        {"capHeight 1079 truncates, then rounds to even", 1920, 1080, 30, 1079, 1918, 1078, 30,
         std::nullopt},
        {"odd sizes round down to even", 1367, 769, 30, 0, 1366, 768, 30, std::nullopt},
        {"capHeight 1440 on 4K at 60 brings it within the limit", 3840, 2160, 60, 1440, 2560, 1440,
         60, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto plan = makePlan(contentWithDisplay(c.width, c.height),
                             options("display", kDisplay, c.fps, c.capHeight), kOwnPid);
        ASSERT_TRUE(plan) << plan.error().message;
        const auto& stream = plan->configuration;
        EXPECT_EQ(std::tuple(plan->width, plan->height, plan->fps),
                  std::tuple(c.planWidth, c.planHeight, c.planFps));
        EXPECT_EQ(std::tuple(stream.width, stream.height, stream.fps),
                  std::tuple(c.planWidth, c.planHeight, c.planFps));
        EXPECT_EQ(plan->notice, c.notice);
    }
}

TEST(CapturePlan, WindowsAndTheirScale) {
    struct Case {
        const char* what;
        double width, height, scale;
        std::int64_t capHeight;
        std::optional<std::pair<int, int>> size;  // nothing: "Capture size is too small."
    };
    const Case cases[] = {
        {"1 pixel wide on a 1× desktop", 1, 300, 1, 0, std::nullopt},
        {"2 × 2 is the smallest", 2, 2, 1, 0, std::pair{2, 2}},
        {"fractional points truncate after scaling", 640.75, 480.5, 2, 0, std::pair{1280, 960}},
        {"a requested height too small for the shape", 300, 1000, 1, 3, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto plan = makePlan(contentWithWindow(c.width, c.height, c.scale),
                             options("window", kWindow, 30, c.capHeight), kOwnPid);
        if (!c.size) {
            ASSERT_FALSE(plan);
            EXPECT_EQ(plan.error().message, "Capture size is too small.");
            continue;
        }
        ASSERT_TRUE(plan) << plan.error().message;
        EXPECT_EQ(std::pair(plan->width, plan->height), *c.size);
        EXPECT_EQ(plan->filter.kind, CaptureFilter::Kind::window);
        EXPECT_EQ(plan->filter.id, kWindow);
    }
}

TEST(CapturePlan, DisplayFilterLeavesOutOwnWindowsAndConfiguresTheStream) {
    ShareableContent content = contentWithDisplay(1920, 1080);
    for (auto [id, pid] : {std::pair{11u, kOwnPid}, {12u, 999}, {13u, kOwnPid}}) {
        ShareableWindow w;
        w.windowID = id;
        w.processID = pid;
        content.windows.push_back(w);
    }
    ShareableWindow unknownOwner;
    unknownOwner.windowID = 14;
    content.windows.push_back(unknownOwner);

    RecordingOptions o = options("display", kDisplay, 60, 0);
    o.systemAudio = true;
    o.showCursor = true;
    o.smoothCursor = false;
    auto plan = makePlan(content, o, kOwnPid);
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->filter.kind, CaptureFilter::Kind::display);
    EXPECT_EQ(plan->filter.source, (PixelRect{100, 0, 1920, 1080}));
    EXPECT_EQ(plan->filter.excludedWindows, (std::vector<std::uint32_t>{11, 13}));
    EXPECT_EQ(plan->filter.excludedProcessID, kOwnPid);
    const CaptureConfiguration& c = plan->configuration;
    EXPECT_TRUE(c.showsCursor);
    EXPECT_EQ(c.queueDepth, 12);
    EXPECT_TRUE(c.capturesAudio);
    EXPECT_EQ(c.sampleRate, 48000);
    EXPECT_EQ(c.channelCount, 2);

    // The stream draws the cursor only when it is shown and not drawn again at export time.
    struct CursorCase {
        bool show, smooth, drawn;
    };
    for (auto [show, smooth, drawn] :
         {CursorCase{true, false, true}, {true, true, false}, {false, false, false}}) {
        o.showCursor = show;
        o.smoothCursor = smooth;
        o.systemAudio = false;
        auto p = makePlan(content, o, kOwnPid);
        ASSERT_TRUE(p);
        EXPECT_EQ(p->configuration.showsCursor, drawn);
        EXPECT_FALSE(p->configuration.capturesAudio);
    }
}

}  // namespace
}  // namespace marlune
