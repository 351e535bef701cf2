// Cursor packs refused whole, the drawn cursors, and the shipped packs pointing where they draw.

#include "render/cursor_pack.h"

#include <gtest/gtest.h>

#include <cmath>

#include "core/json.h"
#include "render_support.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

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

// A pack without a usable arrow, or named outside the packs' folder, is refused whole.
TEST(CursorPack, RefusesWholePacksAndNamesOutsideTheFolder) {
    const std::string shipped = test::readFile(test::sourceWebRoot() / "cursors/dot.json");
    Json noArrow = Json::parse(shipped);
    noArrow.erase("arrow");
    struct Case {
        const char* what;
        std::optional<std::string> content;  // nothing: no file at all
        std::string file = "p.json";
    };
    const Case cases[] = {
        {"a shipped pack", shipped},
        {"no arrow", noArrow.dump()},
        {"unusable arrow", R"({"arrow":{"dataUrl":"data:image/png;base64,AAAA"}})"},
        {"invalid JSON", shipped.substr(0, shipped.size() / 2)},
        {"missing file", std::nullopt},
        {"path outside the folder", shipped, "../p.json"},
        {"sub folder", shipped, "sub/p.json"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir root;
        if (c.content) {
            for (const char* at : {"cursors/p.json", "p.json", "cursors/sub/p.json"}) {
                writeFile(root / at, *c.content);
            }
        }
        EXPECT_EQ(loadCursorPack(c.file, root.path()).has_value(),
                  c.content == shipped && c.file == "p.json");
    }
}

TEST(CursorPack, DrawnCursorsColoursTipsAndSizes) {
    // Height 280 gives a 200 × 280 arrow on a 10-pixel unit grid: fill and outline greys.
    const std::tuple<const char*, int, int> arrows[] = {{"arrow", 18, 255}, {"invert", 255, 18}};
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
    const std::tuple<const char*, double, int, int> sizes[] = {
        // style, height, expected size (0: no image)
        {"dot", 4.99, 0, 0},   {"dot", 10.7, 10, 10},
        {"arrow", 4.1, 0, 0},  // 20/28 of it is 2.93: not above 2 once truncated
        {"arrow", 4.3, 3, 4},  {"arrow", NAN, 0, 0},
        {"arrow", 1e12, 0, 0},
    };
    for (auto [style, height, w, h] : sizes) {
        Surface image = arrowImage(style, height);
        EXPECT_EQ(std::pair(image.width(), image.height()), std::pair(w, h)) << style << height;
    }
}

// Every shipped pack loads whole, each hotspot on a drawn pixel (the click lands where it points).
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
    for (const char* other : {"arrow", "System", ""}) {
        EXPECT_EQ(packFile(other), std::nullopt) << other;
    }
}

}  // namespace
}  // namespace marlune
