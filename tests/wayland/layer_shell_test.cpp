// Layer surfaces on sway (MARLUNE_WAYLAND_COMPOSITOR=sway scripts/with-wayland), else skipped.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>
#include <thread>

#include "app/countdown_overlay_controller.h"
#include "app/desktop_integration.h"
#include "support/bridge_process.h"
#include "support/ffmpeg_tool.h"
#include "support/main_loop.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;

using Rgb = std::array<int, 3>;

// The compositor's whole 1280 x 720 picture (grim), as 8-bit RGB rows; "" when none was taken.
std::string grab() {
    auto rgb = test::toolOutput(
        {"sh", "-c", "grim -t ppm - | ffmpeg -v error -i - -f rawvideo -pix_fmt rgb24 -"});
    return rgb && rgb->size() == 1280 * 720 * 3 ? *rgb : "";
}

Rgb at(const std::string& screen, int x, int y) {
    const std::size_t i = (static_cast<std::size_t>(y) * 1280 + x) * 3;
    if (screen.size() < i + 3) return {-1000, -1000, -1000};
    auto c = [&](std::size_t k) { return static_cast<int>(static_cast<unsigned char>(screen[k])); };
    return {c(i), c(i + 1), c(i + 2)};
}

bool near(Rgb a, Rgb b) {
    return std::abs(a[0] - b[0]) + std::abs(a[1] - b[1]) + std::abs(a[2] - b[2]) < 24;
}

TEST(LayerShell, TheWebcamBubbleFloatsAtItsCornerWithRoundCornersSeenThrough) {
    if (!std::getenv("SWAYSOCK")) GTEST_SKIP() << "needs MARLUNE_WAYLAND_COMPOSITOR=sway";
    test::TempDir home;
    test::writeFile(home / ".config/marlune/defaults.json",
                    R"({"webcamEnabled": true, "webcamSize": "s", "webcamCorner": "br"})");
    // A camera picture of one colour, so that the bubble is told from the background at once.
    test::BridgeProcess marlune({.home = home.path(),
                                 .env = {{"MARLUNE_WEBCAM_INPUT_FORMAT", "lavfi"},
                                         {"MARLUNE_WEBCAM_DEVICE",
                                          "color=c=yellow:s=640x360:r=30,format=yuyv422,realtime"}},
                                 .keepDisplay = true});
    ASSERT_TRUE(marlune.request("ready", "app.ready"));
    const Rgb yellow{255, 255, 0};
    // The 160-pixel bubble 24 pixels in from the corner of the 1280 x 720 output.
    const struct {
        const char* corner;
        int left, top;
    } cases[] = {{"br", 1280 - 24 - 160, 720 - 24 - 160}, {"tl", 24, 24}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.corner);
        if (std::string(c.corner) != "br") {
            ASSERT_TRUE(marlune.request("corner", "settings.set", {{"webcamCorner", c.corner}}));
        }
        std::string screen;
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (!near(at(screen = grab(), c.left + 80, c.top + 80), yellow) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(200ms);  // the next picture of the screen
        }
        ASSERT_TRUE(near(at(screen, c.left + 80, c.top + 80), yellow))
            << "the camera's picture in the bubble at its corner";
        const Rgb background = at(screen, 640, 360);
        EXPECT_FALSE(near(background, yellow));
        // Beside it and in its rounded-off corner the desktop shows: no black square around it.
        EXPECT_TRUE(near(at(screen, c.left - 6, c.top + 80), background));
        EXPECT_TRUE(near(at(screen, c.left + 1, c.top + 1), background));
        EXPECT_TRUE(near(at(screen, c.left + 158, c.top + 158), background));
    }
    // Not a window: sway would have tiled a window over the whole output.
    auto tree = test::toolOutput({"swaymsg", "-t", "get_tree"});
    ASSERT_TRUE(tree);
    EXPECT_EQ(tree->find("\"app_id\""), std::string::npos) << *tree;
    EXPECT_EQ(marlune.closeAndWait(), 0);
}

// The countdown veils the whole output as a layer surface, not a tiled window, and goes at once.
TEST(LayerShell, TheCountdownVeilsTheOutputAndGoesAtOnce) {
    if (!std::getenv("SWAYSOCK")) GTEST_SKIP() << "needs MARLUNE_WAYLAND_COMPOSITOR=sway";
    ASSERT_TRUE(ensureToolkit());
    const Rgb before = at(grab(), 100, 100);
    CountdownOverlayController overlay;
    overlay.show(3, std::nullopt);
    ASSERT_TRUE(overlay.isShowing());
    auto darker = [&] {
        Rgb now = at(grab(), 100, 100);
        return now[0] + now[1] + now[2] < (before[0] + before[1] + before[2]) * 3 / 4;
    };
    EXPECT_TRUE(test::runMainUntil(darker, 10s)) << "no veil over the desktop";
    auto tree = test::toolOutput({"swaymsg", "-t", "get_tree"});
    ASSERT_TRUE(tree);
    EXPECT_EQ(tree->find("Marlune countdown"), std::string::npos) << *tree;
    overlay.hide();
    EXPECT_TRUE(test::runMainUntil([&] { return near(at(grab(), 100, 100), before); }, 2s));
}

}  // namespace
}  // namespace marlune
