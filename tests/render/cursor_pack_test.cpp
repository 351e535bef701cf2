#include "render/cursor_pack.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <cmath>

#include "core/json.h"
#include "render_support.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::writeFile;

int alpha(const Surface& s, int x, int y) {
    return int(test::surfacePixel(s, x, y) >> 24);
}
// The grey level of a pixel; -1 when it is coloured.
int grey(const Surface& s, int x, int y) {
    const std::uint32_t p = test::surfacePixel(s, x, y);
    return (p >> 16 & 255) == (p & 255) && (p >> 8 & 255) == (p & 255) ? int(p & 255) : -1;
}

// A "data:image/png;base64,…" URL of a PNG filled with one colour; `opaque` writes an RGB PNG.
// `bytes` cuts the PNG short.
std::string pngUrl(int w, int h, double r, double g, double b, bool opaque = false,
                   std::size_t bytes = std::string::npos) {
    cairo_surface_t* s =
        cairo_image_surface_create(opaque ? CAIRO_FORMAT_RGB24 : CAIRO_FORMAT_ARGB32, w, h);
    cairo_t* cr = cairo_create(s);
    cairo_set_source_rgb(cr, r, g, b);
    cairo_paint(cr);
    cairo_destroy(cr);
    std::string png;
    cairo_surface_write_to_png_stream(
        s,
        [](void* out, const unsigned char* data, unsigned int length) {
            static_cast<std::string*>(out)->append(reinterpret_cast<const char*>(data), length);
            return CAIRO_STATUS_SUCCESS;
        },
        &png);
    cairo_surface_destroy(s);
    png.resize(std::min(bytes, png.size()));
    gchar* text = g_base64_encode(reinterpret_cast<const guchar*>(png.data()), png.size());
    std::string url = std::string("data:image/png;base64,") + text;
    g_free(text);
    return url;
}

TEST(CursorPack, LoadsGoodEntriesWithDefaultsAndSkipsBrokenOnes) {
    TempDir root;
    Json pack = Json::object();
    pack["sparkle"] = {{"dataUrl", pngUrl(3, 3, 0, 0, 1)}};  // unknown type
    pack["arrow"] = {{"dataUrl", pngUrl(12, 20, 1, 0, 0)}};
    pack["text"] = {{"dataUrl", pngUrl(8, 16, 0, 1, 0, /*opaque=*/true)},
                    {"width", 2.5},
                    {"height", 5},
                    {"hotspotX", 1.25},
                    {"hotspotY", "2"}};
    pack["pointer"] = {{"dataUrl", "data:image/png;base64,R0lGODlh"}};  // a GIF
    pack["crosshair"] = {{"dataUrl", "data:image/png;base64,!!!!"}};
    pack["open-hand"] = {{"dataUrl", 42}};
    pack["closed-hand"] = {{"dataUrl", pngUrl(4, 4, 0, 0, 0).substr(22)}};  // no "data:…,"
    pack["resize-ew"] = {
        {"dataUrl", pngUrl(6, 6, 0, 0, 0)}, {"width", 0}, {"height", -3}, {"hotspotX", -1}};
    pack["resize-ns"] = {{"dataUrl", pngUrl(4097, 1, 0, 0, 0)}};  // too large
    pack["not-allowed"] = {{"dataUrl", pngUrl(4, 4, 0, 0, 0, false, 40)}, {"hotspotX", 1}};
    writeFile(root / "cursors/mine.json", pack.dump());

    auto loaded = loadCursorPack("mine.json", root.path());
    ASSERT_TRUE(loaded.has_value());
    std::vector<int> indices;
    for (const auto& [index, asset] : *loaded) indices.push_back(index);
    EXPECT_EQ(indices, (std::vector<int>{0, 1, 6}));
    // Sizes default to the pixel size, hotspots to 0.
    const auto& arrow = loaded->at(0);
    EXPECT_EQ(std::tuple(arrow.image.width(), arrow.image.height(), arrow.width, arrow.height,
                         arrow.hotspotX, arrow.hotspotY),
              std::tuple(12, 20, 12.0, 20.0, 0.0, 0.0));
    EXPECT_EQ(test::surfacePixel(arrow.image, 5, 5), 0xffff0000u);
    // An opaque PNG comes back in the same premultiplied ARGB layout as the others.
    const auto& text = loaded->at(1);
    EXPECT_EQ(cairo_image_surface_get_format(text.image.get()), CAIRO_FORMAT_ARGB32);
    EXPECT_EQ(test::surfacePixel(text.image, 7, 15), 0xff00ff00u);
    // A string is not a number.
    EXPECT_EQ(std::tuple(text.width, text.height, text.hotspotX, text.hotspotY),
              std::tuple(2.5, 5.0, 1.25, 0.0));
    // A size that would blow the image up without bound falls back to the pixel size.
    const auto& resize = loaded->at(6);
    EXPECT_EQ(std::tuple(resize.width, resize.height, resize.hotspotX), std::tuple(6, 6, -1));
}

TEST(CursorPack, RejectsWholePacks) {
    const std::string arrow = Json{{"dataUrl", pngUrl(4, 4, 0, 0, 0)}}.dump();
    const std::string broken = Json{{"dataUrl", "data:image/png;base64,AAAA"}}.dump();
    const std::string good = R"({"arrow":)" + arrow + "}";
    struct Case {
        const char* what;
        std::optional<std::string> content;  // nothing: no file at all
        std::string file = "p.json";
    };
    const Case cases[] = {
        {"no arrow", R"({"text":)" + arrow + "}"},
        {"unusable arrow", R"({"arrow":)" + broken + R"(,"text":)" + arrow + "}"},
        {"a value that is not an object", R"({"arrow":)" + arrow + R"(,"version":1})"},
        {"arrow not an object", R"({"arrow":"data:image/png;base64,AAAA"})"},
        {"top level array", "[" + arrow + "]"},
        {"invalid JSON", R"({"arrow":)" + arrow},
        {"empty file", ""},
        {"missing file", std::nullopt},
        {"path outside the folder", good, "../p.json"},
        {"sub folder", good, "sub/p.json"},
        {"empty name", good, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir root;
        if (c.content) {
            for (const char* at : {"cursors/p.json", "p.json", "cursors/sub/p.json"}) {
                writeFile(root / at, *c.content);
            }
        }
        EXPECT_EQ(loadCursorPack(c.file, root.path()), std::nullopt);
    }
    TempDir root;
    writeFile(root / "cursors/p.json", good);
    EXPECT_TRUE(loadCursorPack("p.json", root.path()).has_value());
    EXPECT_EQ(loadCursorPack("p.json", std::nullopt), std::nullopt);
}

TEST(CursorPack, DrawnCursorsColoursTipsAndSizes) {
    // Height 280 gives a 200 × 280 arrow on a 10-pixel unit grid: fill and outline greys.
    const std::tuple<const char*, int, int> arrows[] = {
        {"arrow", 18, 255}, {"figma", 18, 255}, {"", 18, 255}, {"invert", 255, 18}};
    for (auto [style, fill, outline] : arrows) {
        SCOPED_TRACE(style);
        Surface image = arrowImage(style, 280);
        ASSERT_EQ(std::pair(image.width(), image.height()), std::pair(200, 280));
        EXPECT_EQ(alpha(image, 50, 140), 255);
        EXPECT_NEAR(grey(image, 50, 140), fill, 1);
        EXPECT_EQ(alpha(image, 10, 140), 255);
        EXPECT_NEAR(grey(image, 10, 140), outline, 1);
        EXPECT_EQ(alpha(image, 150, 60) + alpha(image, 190, 270) + alpha(image, 0, 0), 0);
        // The hotspot the composition uses lies on the tip, not beside it.
        EXPECT_EQ(alpha(image, int(0.075 * 200), int(0.036 * 280)), 255);
    }
    // The dot: translucent white (≈ 0.35) inside an opaque white ring inset 2.5 to 7.5.
    Surface dot = arrowImage("dot", 56.9);
    ASSERT_EQ(std::pair(dot.width(), dot.height()), std::pair(56, 56));
    EXPECT_NEAR(alpha(dot, 28, 28), 89, 1);
    EXPECT_EQ(grey(dot, 28, 28), alpha(dot, 28, 28));
    EXPECT_EQ(test::surfacePixel(dot, 28, 5), 0xffffffffu);
    EXPECT_EQ(alpha(dot, 28, 0) + alpha(dot, 0, 0), 0);

    const std::tuple<const char*, double, int, int> sizes[] = {
        // style, height, expected size (0: no image)
        {"dot", 4.99, 0, 0},   {"dot", 5, 5, 5},        {"dot", 10.7, 10, 10},
        {"arrow", 4.1, 0, 0},  // 20/28 of it is 2.93: not above 2 once truncated
        {"arrow", 4.3, 3, 4},  {"arrow", 28.9, 20, 28}, {"tahoe", 112, 80, 112},
        {"arrow", -10, 0, 0},  {"arrow", NAN, 0, 0},    {"dot", INFINITY, 0, 0},
        {"arrow", 1e12, 0, 0},
    };
    for (auto [style, height, w, h] : sizes) {
        Surface image = arrowImage(style, height);
        EXPECT_EQ(std::pair(image.width(), image.height()), std::pair(w, h)) << style << height;
    }
}

// The packs committed under web/cursors: every style's pack loads with all nine types, and each
// hotspot sits on a drawn pixel, so the click lands where the cursor visibly points.
TEST(CursorPack, ShippedPacksAreCompleteAndPointWhereTheyDraw) {
    const std::pair<const char*, const char*> styles[] = {{"system", "macos.json"},
                                                          {"tahoe", "tahoe.json"},
                                                          {"tahoe-inverted", "tahoe-inverted.json"},
                                                          {"figma", "figma.json"},
                                                          {"dot", "dot.json"}};
    for (auto [style, file] : styles) {
        SCOPED_TRACE(style);
        ASSERT_EQ(packFile(style), file);
        auto pack = loadCursorPack(file, test::sourceWebRoot());
        ASSERT_TRUE(pack.has_value());
        ASSERT_EQ(pack->size(), packTypes.size());
        for (const auto& [index, asset] : *pack) {
            SCOPED_TRACE(packTypes[index]);
            // Drawn at a whole multiple of the logical size, the same in both directions.
            const double scale = asset.image.height() / asset.height;
            EXPECT_GE(scale, 2);
            EXPECT_EQ(scale, std::round(scale));
            EXPECT_EQ(asset.image.width(), asset.width * scale);
            ASSERT_TRUE(asset.hotspotX >= 0 && asset.hotspotX < asset.width);
            ASSERT_TRUE(asset.hotspotY >= 0 && asset.hotspotY < asset.height);
            EXPECT_GT(alpha(asset.image, int(asset.hotspotX * scale), int(asset.hotspotY * scale)),
                      40);
        }
    }
    for (const char* other : {"arrow", "invert", "System", "macos", ""}) {
        EXPECT_EQ(packFile(other), std::nullopt) << other;
    }
}

}  // namespace
}  // namespace marlune
