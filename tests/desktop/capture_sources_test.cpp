// The source picker on a real desktop: RandR monitors, stacking order, windows' own pictures.

#include <gio/gio.h>

#include <atomic>

#include "app/capture_source_provider.h"
#include "desktop_test.h"
#include "platform/image/image_codecs.h"
#include "support/ffmpeg_tool.h"
#include "support/test_window.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;
using test::runMainUntil;
using test::TestWindow;

// The picture inside a data URL, or nothing when it is not one of a JPEG.
std::optional<BgraImage> decodeDataURL(const std::string& url) {
    const std::string prefix = "data:image/jpeg;base64,";
    if (!url.starts_with(prefix)) return std::nullopt;
    gsize size = 0;
    guchar* bytes = g_base64_decode(url.c_str() + prefix.size(), &size);
    auto image = decodeJpeg(std::span<const std::uint8_t>(bytes, size));
    g_free(bytes);
    return image;
}

using CaptureSourcesTest = test::DesktopTest;

// Partly covered windows still show their own content; this program's window is never offered.
TEST_F(CaptureSourcesTest, DisplaysAndWindowsOfOtherProgramsWithTheirPictures) {
    CaptureSourceProvider provider;
    auto preview = [&](const std::string& kind, std::uint32_t id) {
        std::atomic<bool> done = false;
        std::optional<std::string> out;
        provider.preview(kind, id, [&](std::optional<std::string> r) {
            out = std::move(r);
            done = true;
        });
        EXPECT_TRUE(runMainUntil([&] { return done.load(); }, 30s));
        return out ? decodeDataURL(*out) : std::nullopt;
    };
    TestWindow titled(
        {.title = "Titled", .width = 300, .height = 200, .x = 40, .y = 60, .color = "#cc2020"});
    TestWindow under({.title = "Under", .width = 400, .height = 300, .x = 100, .y = 100});
    TestWindow over({.title = "Over", .width = 400, .height = 300, .x = 150, .y = 150});
    for (TestWindow* w : {&titled, &under, &over}) ASSERT_NE(w->id(), 0u);
    GtkWidget* own = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(own), "Own window");
    gtk_window_set_default_size(GTK_WINDOW(own), 400, 300);
    gtk_widget_show_all(own);
    runMainUntil([&] { return gtk_widget_get_mapped(own); });
    test::runMainFor(300ms);

    ASSERT_TRUE(test::runTool({"xrandr", "--setmonitor", "LEFT", "960/254x1080/286+0+0", "none"}));
    ASSERT_TRUE(
        test::runTool({"xrandr", "--setmonitor", "RIGHT", "960/254x1080/286+960+0", "none"}));
    std::atomic<bool> done = false;
    Result<Json> list = fail("no answer");
    provider.list([&](Result<Json> r) {
        list = std::move(r);
        done = true;
    });
    // The main loop keeps this process's own window painted meanwhile.
    EXPECT_TRUE(runMainUntil([&] { return done.load(); }, 30s));
    test::runTool({"xrandr", "--delmonitor", "LEFT"});
    test::runTool({"xrandr", "--delmonitor", "RIGHT"});
    ASSERT_TRUE(list) << list.error().message;

    // {name, width, height}; pictures 400 pixels wide in the display's proportions.
    const std::tuple<const char*, int, int> expected[] = {
        {"LEFT", 960, 1080}, {"RIGHT", 960, 1080}, {"screen", 1920, 1080}};
    const Json& screens = (*list)["screens"];
    ASSERT_EQ(screens.size(), std::size(expected)) << screens.dump();
    std::set<std::uint32_t> ids;
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const auto& [name, width, height] = expected[i];
        EXPECT_EQ(std::tuple(screens[i]["name"], screens[i]["width"], screens[i]["height"]),
                  std::tuple(Json(name), Json(width), Json(height)));
        ids.insert(screens[i]["id"].get<std::uint32_t>());
        auto thumb = decodeDataURL(screens[i].value("thumb", ""));
        ASSERT_TRUE(thumb) << name;
        EXPECT_EQ(std::pair(thumb->width, thumb->height), std::pair(400, 400 * height / width));
    }
    EXPECT_EQ(ids.size(), 3u) << "each display has its own id";

    std::vector<std::string> order;
    std::map<std::string, Json> windows;
    for (const auto& w : (*list)["windows"]) {
        order.push_back(w["name"].get<std::string>());
        windows[order.back()] = w;
    }
    EXPECT_EQ(std::set(order.begin(), order.end()),
              (std::set<std::string>{"Titled", "Under", "Over"}));
    EXPECT_LT(std::ranges::find(order, "Over"), std::ranges::find(order, "Under"))
        << "topmost first";
    const Json& t = windows["Titled"];
    EXPECT_EQ(std::pair(t["id"], t["app"]),
              std::pair(Json(titled.id()), Json("Marlune-test-window")));
    // Its own red, never enlarged, though "Under" covers its middle on the screen.
    auto thumb = decodeDataURL(t.value("thumb", ""));
    ASSERT_TRUE(thumb);
    EXPECT_EQ(std::pair(thumb->width, thumb->height), std::pair(300, 200));
    const std::uint32_t p = thumb->pixel(150, 100);
    EXPECT_TRUE(((p >> 16) & 0xff) > 0xb0 && ((p >> 8) & 0xff) < 0x40 && (p & 0xff) < 0x40)
        << std::hex << p;

    // Previews: a display at up to 1800 pixels wide, a window at its full size; nothing for a
    // display that does not exist or a window that has closed.
    auto big = preview("display", screens[2]["id"].get<std::uint32_t>());
    ASSERT_TRUE(big);
    EXPECT_EQ(std::pair(big->width, big->height), std::pair(1800, 1012));
    auto whole = preview("window", under.id());
    ASSERT_TRUE(whole);
    EXPECT_EQ(std::pair(whole->width, whole->height), std::pair(400, 300));
    EXPECT_FALSE(preview("display", 1));
    titled.close();
    EXPECT_FALSE(preview("window", titled.id()));
    gtk_widget_destroy(own);
}

}  // namespace
}  // namespace marlune
