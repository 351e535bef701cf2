// Which sources the picker is offered and how each is described, from a given content.

#include "app/capture_source_provider.h"

#include <gtest/gtest.h>

namespace marlune {
namespace {

constexpr int kOwnPid = 4242;

ShareableWindow window(std::uint32_t id, const char* title, double w, double h,
                       std::optional<int> pid = 77, int layer = 0) {
    ShareableWindow out;
    out.windowID = id;
    out.title = title;
    out.width = w;
    out.height = h;
    out.processID = pid;
    out.applicationName = "Editor";
    out.layer = layer;
    return out;
}

TEST(CaptureSourceProvider, OffersOnlyOrdinaryTitledWindowsOfOtherPrograms) {
    ShareableContent content;
    content.windows = {
        window(1, "Ok", 800, 600),
        window(2, "At the minimum", 120, 90),
        window(3, "Too narrow", 119.9, 600),
        window(4, "Too low", 800, 89.5),
        window(5, "", 800, 600),
        window(6, "Own", 800, 600, kOwnPid),
        window(7, "No owner", 800, 600, std::nullopt),
        window(8, "Panel", 800, 600, 77, 1),
        window(9, "Desktop", 800, 600, 77, -1),
        window(10, "Fractional", 640.9, 480.99),
    };
    Json list = CaptureSourceProvider::listObject(
        content, kOwnPid, [](const std::string&, std::uint32_t) { return fail("no picture"); });
    std::vector<std::uint32_t> ids;
    for (const auto& w : list["windows"]) ids.push_back(w["id"]);
    EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 2, 10})) << "in the content's order";
    const Json& fractional = list["windows"][2];
    EXPECT_EQ(fractional, (Json{{"id", 10},
                                {"kind", "window"},
                                {"name", "Fractional"},
                                {"app", "Editor"},
                                {"width", 640},
                                {"height", 480}}))
        << "no thumb key without a picture; sizes truncated";
}

TEST(CaptureSourceProvider, DisplaysAreNamedAndPictured) {
    ShareableContent content;
    for (auto [id, name] : {std::pair{3u, "DP-1"}, {9u, ""}, {4u, ""}}) {
        ShareableDisplay d;
        d.displayID = id;
        d.name = name;
        d.width = 3840;
        d.height = 2160;
        content.displays.push_back(d);
    }
    std::vector<std::pair<std::string, std::uint32_t>> asked;
    Json list = CaptureSourceProvider::listObject(
        content, kOwnPid, [&](const std::string& kind, std::uint32_t id) -> Result<BgraImage> {
            asked.emplace_back(kind, id);
            if (id == 4) return fail("cannot");
            return BgraImage::blank(3840, 2160);
        });
    EXPECT_EQ(asked, (std::vector<std::pair<std::string, std::uint32_t>>{
                         {"display", 3}, {"display", 9}, {"display", 4}}));
    const Json& screens = list["screens"];
    ASSERT_EQ(screens.size(), 3u);
    // A nameless display is called by its place in the list, even after a named one.
    EXPECT_EQ(screens[0]["name"], "DP-1");
    EXPECT_EQ(screens[1]["name"], "Display 2");
    EXPECT_EQ(screens[2]["name"], "Display 3");
    EXPECT_EQ(screens[0]["kind"], "display");
    EXPECT_EQ(screens[0]["width"], 3840);
    ASSERT_TRUE(screens[0]["thumb"].is_string());
    EXPECT_TRUE(screens[0]["thumb"].get<std::string>().starts_with("data:image/jpeg;base64,"));
    EXPECT_FALSE(screens[2].contains("thumb"));
    EXPECT_TRUE(list["windows"].is_array());
}

}  // namespace
}  // namespace marlune
