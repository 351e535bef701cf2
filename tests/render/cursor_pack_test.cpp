#include "render/cursor_pack.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/json.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::writeFile;

struct Rgba {
    int r, g, b, a;  // premultiplied, as stored
};

Rgba pixel(const Surface& s, int x, int y) {
    cairo_surface_flush(s.get());
    const unsigned char* row =
        cairo_image_surface_get_data(s.get()) + y * cairo_image_surface_get_stride(s.get());
    std::uint32_t p;
    std::memcpy(&p, row + 4 * x, 4);
    return {int(p >> 16 & 255), int(p >> 8 & 255), int(p & 255), int(p >> 24)};
}

// A PNG of the given size filled with one colour; `alpha` false writes an opaque RGB PNG.
std::string solidPng(int w, int h, double r, double g, double b, bool alpha = true) {
    cairo_surface_t* s =
        cairo_image_surface_create(alpha ? CAIRO_FORMAT_ARGB32 : CAIRO_FORMAT_RGB24, w, h);
    cairo_t* cr = cairo_create(s);
    cairo_set_source_rgb(cr, r, g, b);
    cairo_paint(cr);
    cairo_destroy(cr);
    std::string bytes;
    cairo_surface_write_to_png_stream(
        s,
        [](void* closure, const unsigned char* data, unsigned int length) {
            static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
            return CAIRO_STATUS_SUCCESS;
        },
        &bytes);
    cairo_surface_destroy(s);
    return bytes;
}

std::string base64(const std::string& bytes) {
    gchar* text = g_base64_encode(reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
    std::string out(text);
    g_free(text);
    return out;
}

std::string dataUrl(const std::string& bytes) {
    return "data:image/png;base64," + base64(bytes);
}

// The folder of committed resources, found from this file's place in the source tree.
fs::path sourceWebRoot() {
    return fs::path(MARLUNE_SOURCE_DIR) / "web";
}

TEST(CursorPack, StylesMapToPackFilesAndSizeFactors) {
    struct Case {
        const char* style;
        std::optional<std::string> file;
        double factor;
    };
    const double pack = 0.5825468950250495;
    const Case cases[] = {
        {"system", "macos.json", 1.0},
        {"tahoe", "tahoe.json", pack},
        {"tahoe-inverted", "tahoe-inverted.json", pack},
        {"figma", "figma.json", pack},
        {"dot", "dot.json", pack},
        {"arrow", std::nullopt, 1.0},
        {"invert", std::nullopt, 1.0},
        {"System", std::nullopt, 1.0},
        {"macos", std::nullopt, 1.0},
        {"", std::nullopt, 1.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.style);
        EXPECT_EQ(packFile(c.style), c.file);
        EXPECT_EQ(styleSizeMultiplier(c.style), c.factor);
    }
}

TEST(CursorPack, LoadsGoodEntriesWithDefaultsAndSkipsBrokenOnes) {
    TempDir root;
    Json pack = Json::object();
    pack["sparkle"] = {{"dataUrl", dataUrl(solidPng(3, 3, 0, 0, 1))}};  // unknown type
    pack["arrow"] = {{"dataUrl", dataUrl(solidPng(12, 20, 1, 0, 0))}};
    pack["text"] = {{"dataUrl", dataUrl(solidPng(8, 16, 0, 1, 0, /*alpha=*/false))},
                    {"width", 2.5},
                    {"height", 5},
                    {"hotspotX", 1.25},
                    {"hotspotY", "2"}};
    pack["pointer"] = {{"dataUrl", "data:image/png;base64," + base64("GIF89a not a png at all")}};
    pack["crosshair"] = {{"dataUrl", "data:image/png;base64,!!!!"}};
    pack["open-hand"] = {{"dataUrl", 42}};
    pack["closed-hand"] = {{"dataUrl", base64(solidPng(4, 4, 0, 0, 0))}};  // no comma
    pack["resize-ew"] = {{"dataUrl", dataUrl(solidPng(6, 6, 0, 0, 0))},
                         {"width", 0},
                         {"height", -3},
                         {"hotspotX", -1}};
    pack["resize-ns"] = {{"dataUrl", dataUrl(solidPng(4097, 1, 0, 0, 0))}};  // too large
    pack["not-allowed"] = {{"hotspotX", 1}};
    std::string truncated = solidPng(4, 4, 0, 0, 0);
    truncated.resize(truncated.size() / 2);
    pack["not-allowed"]["dataUrl"] = dataUrl(truncated);
    writeFile(root / "cursors/mine.json", pack.dump());

    auto loaded = loadCursorPack("mine.json", root.path());
    ASSERT_TRUE(loaded.has_value());
    std::vector<int> indices;
    for (const auto& [index, asset] : *loaded) indices.push_back(index);
    EXPECT_EQ(indices, (std::vector<int>{0, 1, 6}));

    const auto& arrow = loaded->at(0);
    EXPECT_EQ(arrow.image.width(), 12);
    EXPECT_EQ(arrow.image.height(), 20);
    EXPECT_EQ(arrow.width, 12);
    EXPECT_EQ(arrow.height, 20);
    EXPECT_EQ(arrow.hotspotX, 0);
    EXPECT_EQ(arrow.hotspotY, 0);
    auto red = pixel(arrow.image, 5, 5);
    EXPECT_EQ((std::array{red.r, red.g, red.b, red.a}), (std::array{255, 0, 0, 255}));

    // An opaque PNG comes back in the same premultiplied ARGB layout as the others.
    const auto& text = loaded->at(1);
    EXPECT_EQ(cairo_image_surface_get_format(text.image.get()), CAIRO_FORMAT_ARGB32);
    EXPECT_EQ(pixel(text.image, 7, 15).a, 255);
    EXPECT_EQ(pixel(text.image, 7, 15).g, 255);
    EXPECT_EQ(text.width, 2.5);
    EXPECT_EQ(text.height, 5);
    EXPECT_EQ(text.hotspotX, 1.25);
    EXPECT_EQ(text.hotspotY, 0);  // a string is not a number

    // A size that would blow the image up without bound falls back to the pixel size.
    const auto& resize = loaded->at(6);
    EXPECT_EQ(resize.width, 6);
    EXPECT_EQ(resize.height, 6);
    EXPECT_EQ(resize.hotspotX, -1);
}

TEST(CursorPack, RejectsWholePacks) {
    const std::string arrow = Json{{"dataUrl", dataUrl(solidPng(4, 4, 0, 0, 0))}}.dump();
    const std::string broken = Json{{"dataUrl", "data:image/png;base64,AAAA"}}.dump();
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
        {"path outside the folder", R"({"arrow":)" + arrow + "}", "../p.json"},
        {"sub folder", R"({"arrow":)" + arrow + "}", "sub/p.json"},
        {"empty name", R"({"arrow":)" + arrow + "}", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir root;
        if (c.content) {
            writeFile(root / "cursors/p.json", *c.content);
            writeFile(root / "p.json", *c.content);
            writeFile(root / "cursors/sub/p.json", *c.content);
        }
        EXPECT_EQ(loadCursorPack(c.file, root.path()), std::nullopt);
    }

    TempDir root;
    writeFile(root / "cursors/p.json", R"({"arrow":)" + arrow + "}");
    EXPECT_TRUE(loadCursorPack("p.json", root.path()).has_value());
    EXPECT_EQ(loadCursorPack("p.json", std::nullopt), std::nullopt);
}

TEST(CursorPack, DrawnArrowColoursAndTip) {
    // Height 280 gives a 200 × 280 image on a 10-pixel unit grid.
    struct Case {
        const char* style;
        int fill;     // grey level inside the arrow
        int outline;  // grey level on its left edge
    };
    const Case cases[] = {
        {"arrow", 18, 255}, {"figma", 18, 255}, {"", 18, 255}, {"invert", 255, 18}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.style);
        Surface image = arrowImage(c.style, 280);
        ASSERT_TRUE(image);
        ASSERT_EQ(image.width(), 200);
        ASSERT_EQ(image.height(), 280);
        auto inside = pixel(image, 50, 140);
        EXPECT_EQ(inside.a, 255);
        EXPECT_NEAR(inside.r, c.fill, 1);
        EXPECT_EQ(inside.r, inside.g);
        auto edge = pixel(image, 10, 140);
        EXPECT_EQ(edge.a, 255);
        EXPECT_NEAR(edge.r, c.outline, 1);
        EXPECT_EQ(pixel(image, 150, 60).a, 0);   // right of the arrow
        EXPECT_EQ(pixel(image, 190, 270).a, 0);  // below the tail
        // The hotspot the composition uses lies on the tip, not beside it.
        EXPECT_EQ(pixel(image, int(0.075 * 200), int(0.036 * 280)).a, 255);
        EXPECT_EQ(pixel(image, 0, 0).a, 0);
    }
}

TEST(CursorPack, DrawnDot) {
    Surface dot = arrowImage("dot", 56.9);
    ASSERT_TRUE(dot);
    ASSERT_EQ(dot.width(), 56);
    ASSERT_EQ(dot.height(), 56);
    // Translucent white in the middle: premultiplied, so every channel equals alpha ≈ 0.35.
    auto centre = pixel(dot, 28, 28);
    EXPECT_NEAR(centre.a, 89, 1);
    EXPECT_EQ(centre.r, centre.a);
    EXPECT_EQ(centre.b, centre.a);
    // Opaque white ring: inset 5, line width 5, so the ring covers 2.5 to 7.5 from the edge.
    auto ring = pixel(dot, 28, 5);
    EXPECT_EQ((std::array{ring.r, ring.a}), (std::array{255, 255}));
    EXPECT_EQ(pixel(dot, 0, 0).a, 0);
    EXPECT_EQ(pixel(dot, 28, 0).a, 0);
}

TEST(CursorPack, DrawnSizesAreTruncatedAndTinyOnesRefused) {
    struct Case {
        const char* style;
        double height;
        int w, h;  // 0: no image
    };
    const Case cases[] = {
        {"dot", 4.99, 0, 0},      {"dot", 5, 5, 5},        {"dot", 10.7, 10, 10},
        {"arrow", 4.1, 0, 0},  // 20/28 of it is 2.93: not above 2 once truncated
        {"arrow", 4.3, 3, 4},     {"arrow", 2.9, 0, 0},    {"arrow", 28.9, 20, 28},
        {"invert", 100, 71, 100}, {"tahoe", 112, 80, 112}, {"arrow", -10, 0, 0},
        {"arrow", NAN, 0, 0},     {"dot", INFINITY, 0, 0}, {"arrow", 1e12, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.style) + " " + std::to_string(c.height));
        Surface image = arrowImage(c.style, c.height);
        if (c.w == 0) {
            EXPECT_FALSE(image);
            continue;
        }
        ASSERT_TRUE(image);
        EXPECT_EQ(image.width(), c.w);
        EXPECT_EQ(image.height(), c.h);
        EXPECT_EQ(cairo_image_surface_get_format(image.get()), CAIRO_FORMAT_ARGB32);
    }
}

// The packs committed under web/cursors: every style's pack loads with all nine types, and each
// hotspot sits on a drawn pixel, so the click lands where the cursor visibly points.
TEST(CursorPack, ShippedPacksAreCompleteAndPointWhereTheyDraw) {
    const fs::path webRoot = sourceWebRoot();
    for (const char* style : {"system", "tahoe", "tahoe-inverted", "figma", "dot"}) {
        SCOPED_TRACE(style);
        auto pack = loadCursorPack(*packFile(style), webRoot);
        ASSERT_TRUE(pack.has_value());
        ASSERT_EQ(pack->size(), packTypes.size());
        for (const auto& [index, asset] : *pack) {
            SCOPED_TRACE(packTypes[index]);
            ASSERT_GT(asset.width, 0);
            ASSERT_GT(asset.height, 0);
            // Drawn at a whole multiple of the logical size, the same in both directions.
            double scale = asset.image.height() / asset.height;
            EXPECT_GE(scale, 2);
            EXPECT_EQ(scale, std::round(scale));
            EXPECT_EQ(asset.image.width(), asset.width * scale);
            ASSERT_GE(asset.hotspotX, 0);
            ASSERT_GE(asset.hotspotY, 0);
            ASSERT_LT(asset.hotspotX, asset.width);
            ASSERT_LT(asset.hotspotY, asset.height);
            int alpha =
                pixel(asset.image, int(asset.hotspotX * scale), int(asset.hotspotY * scale)).a;
            EXPECT_GT(alpha, 40);
        }
    }
}

}  // namespace
}  // namespace marlune
