// Which sources the picker is offered and how each is described, from a given content.

#include "app/capture_source_provider.h"

#include <gtest/gtest.h>

namespace marlune {
namespace {

TEST(CaptureSourceProvider, OffersOrdinaryTitledWindowsOfOtherProgramsAndNamesDisplays) {
    constexpr int kOwnPid = 4242;
    ShareableContent content;
    // {id, title, width, height, owner, layer}
    // clang-format off
    const std::tuple<std::uint32_t, const char*, double, double, std::optional<int>, int>
        windows[] = {
            {1, "Ok", 800, 600, 77, 0},          {2, "At the minimum", 120, 90, 77, 0},
            {3, "Too narrow", 119.9, 600, 77, 0}, {4, "Too low", 800, 89.5, 77, 0},
            {5, "", 800, 600, 77, 0},             {6, "Own", 800, 600, kOwnPid, 0},
            {7, "No owner", 800, 600, {}, 0},     {8, "Panel", 800, 600, 77, 1},
            {9, "Desktop", 800, 600, 77, -1},     {10, "Fractional", 640.9, 480.99, 77, 0},
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
    EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 2, 10})) << "in the content's order";
    // No thumb key without a picture; sizes truncated.
    EXPECT_EQ(list["windows"][2], (Json{{"id", 10},
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
    EXPECT_EQ(screens[0]["kind"], "display");
    EXPECT_EQ(screens[0]["width"], 3840);
    EXPECT_TRUE(screens[0].value("thumb", "").starts_with("data:image/jpeg;base64,"));
    EXPECT_FALSE(screens[2].contains("thumb"));
}

}  // namespace
}  // namespace marlune
