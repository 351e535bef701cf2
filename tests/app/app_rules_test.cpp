// The window, countdown, permissions, rendering and source rules, from given inputs.

#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include "app/bar_geometry.h"
#include "app/capture_source_provider.h"
#include "app/countdown_overlay_controller.h"
#include "app/permissions_manager.h"
#include "app/web_rendering.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

// Guards a bar placed off an odd screen or rounded the wrong way (common cases: the real window).
TEST(BarGeometry, RoundsHalvesAwayFromZeroAndCopesWithOddScreens) {
    EXPECT_EQ(bar::firstPlacement({0, 0, 1921, 1080}, 420, 64), (Frame{751, 96, 420, 64}));
    EXPECT_EQ(bar::firstPlacement({-1920, 0, 1920, 1080}, 421, 64), (Frame{-1171, 96, 421, 64}));
    EXPECT_EQ(bar::firstPlacement({100, 200, 800, 600}, 1000, 64), (Frame{0, 296, 1000, 64}));
    EXPECT_EQ(bar::firstPlacement(bar::kFallbackVisibleFrame, 420, 64), (Frame{510, 96, 420, 64}));
    EXPECT_EQ(bar::resized({546, 121, 420, 64}, 301, 80), (Frame{606, 121, 301, 80}));
    EXPECT_EQ(flipped(bar::moved({546, 121, 420, 64}, -6.5, 20), 1080),
              (Frame{539.5, 915, 420, 64}));
}

TEST(CountdownOverlayMonitor, RecordedMonitorElsePointerElsePrimaryElseFirst) {
    const x11::Monitor left{.id = 10, .x = 0, .width = 1920, .height = 1080};
    const x11::Monitor right{.id = 20, .x = 1920, .width = 1920, .height = 1080, .primary = true};
    const std::vector<x11::Monitor> both = {left, right};
    using Pointer = std::optional<std::pair<int, int>>;
    struct Case {
        std::vector<x11::Monitor> monitors;
        std::optional<std::uint32_t> displayID;
        Pointer pointer;
        std::optional<std::uint32_t> chosen;
    } cases[] = {
        {both, 10, Pointer{{2500, 10}}, 10},
        {both, 99, Pointer{{2500, 10}}, 20},  // not connected: the one under the pointer
        {both, std::nullopt, Pointer{{5000, 5000}}, 20},  // off every monitor: the primary
        {{left, {.id = 30, .x = 1920, .width = 800, .height = 600}}, 99, std::nullopt, 10},
        {{}, 10, Pointer{{0, 0}}, std::nullopt},
    };
    for (const auto& c : cases) {
        auto m = chooseOverlayMonitor(c.monitors, c.displayID, c.pointer);
        EXPECT_EQ(m ? std::optional(m->id) : std::nullopt, c.chosen);
    }
}

// GNOME's page through the program: tests/desktop/permissions_test.cpp.
TEST(PermissionsSettings, EachDesktopOpensItsOwnPage) {
    using Command = std::optional<std::vector<std::string>>;
    const std::set<std::string> all = {"gnome-control-center", "systemsettings",
                                       "xfce4-settings-manager", "cinnamon-settings"};
    struct Case {
        std::string pane, desktop;
        std::set<std::string> installed;
        Command command;
    } cases[] = {
        // No page of its own, or none asked for: the settings' first page.
        {"Camera", "GNOME", all, Command{{"gnome-control-center"}}},
        {"accessibility", "KDE", {"systemsettings5"}, Command{{"systemsettings5", "kcm_access"}}},
        {"microphone", "X-Cinnamon", all, Command{{"cinnamon-settings", "sound"}}},
        // The settings program is not installed, or the desktop is unknown: nothing.
        {"camera", "XFCE", {"gnome-control-center"}, std::nullopt},
        {"camera", "openbox", all, std::nullopt},
    };
    for (const auto& c : cases) {
        auto installed = [&](const std::string& p) { return c.installed.contains(p); };
        EXPECT_EQ(PermissionsManager::settingsCommand(c.pane, c.desktop, installed), c.command)
            << c.pane << " on " << c.desktop;
    }
}

TEST(WebRendering, CpuRenderingOnlyWithoutAGpuAndWithoutAChoiceMade) {
    test::TempDir dri;
    struct Case {
        bool folder;
        std::vector<const char*> nodes;
        const char* chosen;
        bool cpu;
    } cases[] = {
        {false, {}, nullptr, true},
        {true, {"card0"}, nullptr, true},  // a display card node alone
        {true, {"card0", "renderD128"}, nullptr, false},
        {true, {"renderD128"}, "1", false},
        {true, {}, "0", false},  // the variable already set
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(dri.path());
        if (c.folder) std::filesystem::create_directories(dri.path());
        for (const char* n : c.nodes) std::ofstream(dri / n).put('\0');
        EXPECT_EQ(switchesToCpuRendering(c.chosen, dri.path()), c.cpu) << c.nodes.size();
    }
}

// Which sources the picker is offered and how each is described, from a given content.
TEST(CaptureSourceProvider, OffersOrdinaryTitledWindowsOfOtherProgramsAndNamesDisplays) {
    constexpr int kOwnPid = 4242;
    ShareableContent content;
    // {id, title, width, height, owner, layer}
    // clang-format off
    const std::tuple<std::uint32_t, const char*, double, double, std::optional<int>, int>
        windows[] = {
            {2, "At the minimum", 120, 90, 77, 0}, {3, "Too narrow", 119.9, 600, 77, 0},
            {5, "", 800, 600, 77, 0},              {6, "Own", 800, 600, kOwnPid, 0},
            {7, "No owner", 800, 600, {}, 0},      {8, "Panel", 800, 600, 77, 1},
            {10, "Fractional", 640.9, 480.99, 77, 0},
        };
    for (const auto& [id, title, w, h, pid, layer] : windows) {
        content.windows.push_back({.windowID = id, .width = w, .height = h, .title = title,
                                   .processID = pid, .applicationName = "Editor", .layer = layer});
    }
    // clang-format on
    for (auto [id, name] : {std::pair{3u, "DP-1"}, {9u, ""}, {4u, ""}}) {
        content.displays.push_back({.displayID = id, .name = name, .width = 3840, .height = 2160});
    }
    std::vector<std::uint32_t> displaysAsked;
    Json list = CaptureSourceProvider::listObject(
        content, kOwnPid, [&](const std::string& kind, std::uint32_t id) -> Result<BgraImage> {
            if (kind == "display") displaysAsked.push_back(id);
            if (kind != "display" || id == 4) return fail("no picture");
            return BgraImage::blank(3840, 2160);
        });
    std::vector<std::uint32_t> ids;
    for (const auto& w : list["windows"]) ids.push_back(w["id"]);
    EXPECT_EQ(ids, (std::vector<std::uint32_t>{2, 10})) << "in the content's order";
    // No thumb key without a picture; sizes truncated.
    EXPECT_EQ(list["windows"][1], (Json{{"id", 10},
                                        {"kind", "window"},
                                        {"name", "Fractional"},
                                        {"app", "Editor"},
                                        {"width", 640},
                                        {"height", 480}}));
    EXPECT_EQ(displaysAsked, (std::vector<std::uint32_t>{3, 9, 4}));
    const Json& screens = list["screens"];
    ASSERT_EQ(screens.size(), 3u);
    // A nameless display is called by its place in the list, even after a named one.
    EXPECT_EQ(screens[0]["name"], "DP-1");
    EXPECT_EQ(screens[1]["name"], "Display 2");
    EXPECT_EQ(screens[2]["name"], "Display 3");
    EXPECT_TRUE(screens[0].value("thumb", "").starts_with("data:image/jpeg;base64,"));
    EXPECT_FALSE(screens[2].contains("thumb"));
}

}  // namespace
}  // namespace marlune
