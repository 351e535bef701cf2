// What the source picker is offered on a real desktop: displays, windows of other programs, and
// their pictures.

#include <gio/gio.h>

#include <atomic>
#include <future>

#include "app/capture_source_provider.h"
#include "desktop_test.h"
#include "platform/image/image_codecs.h"
#include "support/ffmpeg_tool.h"
#include "support/test_window.h"

namespace marlune {
namespace {

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

// The colour at the middle of a picture, each channel within `tolerance` of 0xRRGGBB.
bool middleIs(const BgraImage& image, std::uint32_t rgb, int tolerance = 24) {
    std::uint32_t p = image.pixel(image.width / 2, image.height / 2);
    for (int shift : {0, 8, 16}) {
        int got = (p >> shift) & 0xff, want = (rgb >> shift) & 0xff;
        if (std::abs(got - want) > tolerance) return false;
    }
    return true;
}

using CaptureSourcesTest = test::DesktopTest;

// One listing: the displays (two RandR monitors carved out of the 1920 x 1080 test screen, and
// the screen's own) with pictures of their size, and the windows of other programs that are
// titled and large enough, topmost first, each picture showing its own content.
TEST_F(CaptureSourcesTest, DisplaysAndWindowsOfOtherProgramsWithTheirPictures) {
    CaptureSourceProvider provider;
    auto preview = [&](const std::string& kind, std::uint32_t id) {
        std::atomic<bool> done = false;
        std::optional<std::string> out;
        provider.preview(kind, id, [&](std::optional<std::string> r) {
            out = std::move(r);
            done = true;
        });
        EXPECT_TRUE(runMainUntil([&] { return done.load(); }, std::chrono::seconds(30)));
        return out;
    };
    TestWindow titled(
        {.title = "Titled", .width = 300, .height = 200, .x = 40, .y = 60, .color = "#cc2020"});
    // Too small to offer (the rules are capture_source_provider_test.cpp's).
    TestWindow small({.title = "Small", .width = 119, .height = 300, .x = 1000, .y = 60});
    TestWindow wide(
        {.title = "Wide", .width = 1000, .height = 500, .x = 40, .y = 450, .color = "#20a020"});
    // One partly over the other and over "Titled".
    TestWindow under(
        {.title = "Under", .width = 400, .height = 300, .x = 100, .y = 100, .color = "#d02090"});
    TestWindow over(
        {.title = "Over", .width = 400, .height = 300, .x = 150, .y = 150, .color = "#20d0d0"});
    for (TestWindow* w : {&titled, &small, &wide, &under, &over}) {
        ASSERT_NE(w->id(), 0u) << "a test window did not come up";
    }
    // This program's own window is never offered.
    GtkWidget* own = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(own), "Own window");
    gtk_window_set_default_size(GTK_WINDOW(own), 400, 300);
    gtk_widget_show_all(own);
    runMainUntil([&] { return gtk_widget_get_mapped(own); });
    test::runMainFor(std::chrono::milliseconds(300));

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
    EXPECT_TRUE(runMainUntil([&] { return done.load(); }, std::chrono::seconds(30)));
    test::runTool({"xrandr", "--delmonitor", "LEFT"});
    test::runTool({"xrandr", "--delmonitor", "RIGHT"});
    ASSERT_TRUE(list) << list.error().message;

    const struct {
        const char* name;
        int width, height;
    } expected[] = {{"LEFT", 960, 1080}, {"RIGHT", 960, 1080}, {"screen", 1920, 1080}};
    const Json& screens = (*list)["screens"];
    ASSERT_EQ(screens.size(), std::size(expected)) << screens.dump();
    std::set<std::uint32_t> ids;
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(expected[i].name);
        const Json& s = screens[i];
        EXPECT_EQ(s["kind"], "display");
        EXPECT_EQ(s["name"], expected[i].name);
        EXPECT_EQ(s["width"], expected[i].width);
        EXPECT_EQ(s["height"], expected[i].height);
        ids.insert(s["id"].get<std::uint32_t>());
        auto thumb = decodeDataURL(s.value("thumb", ""));
        ASSERT_TRUE(thumb) << "not a JPEG data URL";
        // The picture at 400 pixels wide, in the display's proportions.
        EXPECT_EQ(std::pair(thumb->width, thumb->height),
                  std::pair(400, 400 * expected[i].height / expected[i].width));
    }
    EXPECT_EQ(ids.size(), 3u) << "each display has its own id";

    std::vector<std::string> order;
    std::map<std::string, Json> windows;
    for (const auto& w : (*list)["windows"]) {
        order.push_back(w["name"].get<std::string>());
        windows[order.back()] = w;
    }
    EXPECT_EQ(std::set<std::string>(order.begin(), order.end()),
              (std::set<std::string>{"Titled", "Wide", "Under", "Over"}));
    EXPECT_LT(std::ranges::find(order, "Over"), std::ranges::find(order, "Under"))
        << "topmost first";
    auto underThumb = decodeDataURL(windows["Under"].value("thumb", ""));
    ASSERT_TRUE(underThumb);
    EXPECT_TRUE(middleIs(*underThumb, 0xd02090)) << std::hex << underThumb->pixel(200, 150);
    const Json& t = windows["Titled"];
    EXPECT_EQ(t["id"], titled.id());
    EXPECT_EQ(t["app"], "Marlune-test-window");
    auto thumb = decodeDataURL(t.value("thumb", ""));
    ASSERT_TRUE(thumb);
    EXPECT_EQ(std::pair(thumb->width, thumb->height), std::pair(300, 200)) << "never enlarged";
    EXPECT_TRUE(middleIs(*thumb, 0xcc2020));

    // Previews: a display at up to 1800 pixels wide, a window at its full size; nothing for a
    // display that does not exist or a window that has closed.
    const std::pair<std::optional<std::string>, std::pair<int, int>> previews[] = {
        {preview("display", screens[2]["id"].get<std::uint32_t>()), {1800, 1012}},
        {preview("window", wide.id()), {1000, 500}}};
    for (const auto& [big, size] : previews) {
        ASSERT_TRUE(big);
        auto picture = decodeDataURL(*big);
        ASSERT_TRUE(picture);
        EXPECT_EQ(std::pair(picture->width, picture->height), size);
    }
    EXPECT_EQ(preview("display", 1), std::nullopt);
    titled.close();
    EXPECT_EQ(preview("window", titled.id()), std::nullopt);
    gtk_widget_destroy(own);
}

}  // namespace
}  // namespace marlune
