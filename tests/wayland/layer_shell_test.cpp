// The webcam bubble on a compositor with layer-shell (a headless sway: wlroots): a surface over
// the windows at its corner, not a window the compositor tiles, with see-through round corners.
// Runs under `MARLUNE_WAYLAND_COMPOSITOR=sway scripts/with-wayland`; skipped elsewhere.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "support/bridge_process.h"
#include "support/ffmpeg_tool.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;

// The compositor's whole picture (grim), as 8-bit RGB rows.
struct Screen {
    int width = 0, height = 0;
    std::string rgb;
    std::array<int, 3> at(int x, int y) const {
        const std::size_t i = (static_cast<std::size_t>(y) * width + x) * 3;
        return {static_cast<unsigned char>(rgb[i]), static_cast<unsigned char>(rgb[i + 1]),
                static_cast<unsigned char>(rgb[i + 2])};
    }
};

std::optional<Screen> grab() {
    auto ppm = test::toolOutput({"grim", "-t", "ppm", "-"});
    Screen s;
    int maxValue = 0, used = 0;
    if (!ppm ||
        std::sscanf(ppm->c_str(), "P6 %d %d %d%n", &s.width, &s.height, &maxValue, &used) != 3)
        return std::nullopt;
    s.rgb = ppm->substr(used + 1);
    if (maxValue != 255 || s.rgb.size() < static_cast<std::size_t>(s.width) * s.height * 3)
        return std::nullopt;
    return s;
}

bool near(std::array<int, 3> a, std::array<int, 3> b) {
    return std::abs(a[0] - b[0]) + std::abs(a[1] - b[1]) + std::abs(a[2] - b[2]) < 24;
}

TEST(LayerShell, TheWebcamBubbleFloatsAtItsCornerWithRoundCornersSeenThrough) {
    if (!std::getenv("SWAYSOCK")) GTEST_SKIP() << "needs MARLUNE_WAYLAND_COMPOSITOR=sway";
    test::TempDir home;
    std::filesystem::create_directories(home.path() / ".config/marlune");
    std::ofstream(home.path() / ".config/marlune/defaults.json")
        << R"({"webcamEnabled": true, "webcamSize": "s", "webcamCorner": "br"})";
    // A camera picture of one colour, so that the bubble is told from the background at once.
    test::BridgeProcess marlune({.home = home.path(),
                                 .env = {{"MARLUNE_WEBCAM_INPUT_FORMAT", "lavfi"},
                                         {"MARLUNE_WEBCAM_DEVICE",
                                          "color=c=yellow:s=640x360:r=30,format=yuyv422,realtime"}},
                                 .keepDisplay = true});
    ASSERT_TRUE(marlune.request("ready", "app.ready"));
    const std::array<int, 3> yellow{255, 255, 0};
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
        std::optional<Screen> screen;
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            screen = grab();
            if (screen && near(screen->at(c.left + 80, c.top + 80), yellow)) break;
            std::this_thread::sleep_for(200ms);
        }
        ASSERT_TRUE(screen && near(screen->at(c.left + 80, c.top + 80), yellow))
            << "the camera's picture in the bubble at its corner";
        const auto background = screen->at(640, 360);
        EXPECT_FALSE(near(background, yellow));
        // Beside it and in its rounded-off corner the desktop shows: no black square around it.
        EXPECT_TRUE(near(screen->at(c.left - 6, c.top + 80), background));
        EXPECT_TRUE(near(screen->at(c.left + 1, c.top + 1), background));
        EXPECT_TRUE(near(screen->at(c.left + 158, c.top + 158), background));
    }
    // Not a window: sway would have tiled a window over the whole output.
    auto tree = test::toolOutput({"swaymsg", "-t", "get_tree"});
    ASSERT_TRUE(tree);
    EXPECT_EQ(tree->find("\"app_id\""), std::string::npos) << *tree;
    EXPECT_EQ(marlune.closeAndWait(), 0);
}

}  // namespace
}  // namespace marlune
