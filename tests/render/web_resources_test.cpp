// The wallpapers and live backgrounds committed under web/ that the export reads by id: the index
// the page offers them from must only name files that exist, under ids the edit document keeps.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>

#include "core/json.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;

fs::path sourceWebRoot() {
    return fs::path(MARLUNE_SOURCE_DIR) / "web";
}

// Pixel size from a JPEG's start-of-frame segment; {0, 0} when there is none.
std::pair<int, int> jpegSize(const std::string& bytes) {
    std::size_t i = 2;
    while (i + 9 < bytes.size() && static_cast<unsigned char>(bytes[i]) == 0xFF) {
        auto marker = static_cast<unsigned char>(bytes[i + 1]);
        auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
        int length = byte(i + 2) << 8 | byte(i + 3);
        if (marker >= 0xC0 && marker <= 0xC3) {
            return {byte(i + 7) << 8 | byte(i + 8), byte(i + 5) << 8 | byte(i + 6)};
        }
        i += 2 + length;
    }
    return {0, 0};
}

bool keptById(const std::string& id) {
    if (id.empty()) return false;
    for (char c : id) {
        bool ok =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
        if (!ok) return false;
    }
    return true;
}

TEST(WebResources, WallpaperIndexNamesUsableFiles) {
    const fs::path root = sourceWebRoot();
    Json index = Json::parse(test::readFile(root / "wallpapers/index.json"), nullptr, false);
    ASSERT_TRUE(index.is_object());
    const Json* stills = readArray(index, "wallpapers");
    const Json* live = readArray(index, "live");
    ASSERT_TRUE(stills && live);
    EXPECT_GE(stills->size(), 6u);
    EXPECT_GE(live->size(), 2u);

    std::set<std::string> ids;
    auto common = [&](const Json& entry) {
        auto id = readString(entry, "id");
        ASSERT_TRUE(id.has_value());
        SCOPED_TRACE(*id);
        EXPECT_TRUE(keptById(*id));
        EXPECT_TRUE(ids.insert(*id).second) << "duplicate id";
        EXPECT_TRUE(readString(entry, "name").has_value());
        auto hex = readString(entry, "hex");
        ASSERT_TRUE(hex.has_value());
        EXPECT_EQ(hex->size(), 7u);
        auto thumb = readString(entry, "thumb");
        ASSERT_TRUE(thumb.has_value());
        EXPECT_EQ(*thumb, "wallpapers/thumbs/" + *id + ".jpg");
        EXPECT_GT(jpegSize(test::readFile(root / *thumb)).first, 0);
    };

    for (const Json& entry : *stills) {
        common(entry);
        auto id = readString(entry, "id").value_or("");
        SCOPED_TRACE(id);
        // The export opens the still by id alone.
        EXPECT_EQ(readString(entry, "full"), "wallpapers/full/" + id + ".jpg");
        const fs::path file = root / "wallpapers/full" / (id + ".jpg");
        std::string bytes = test::readFile(file);
        auto [w, h] = jpegSize(bytes);
        EXPECT_GE(w, 2560);
        EXPECT_GE(h, 1440);
        EXPECT_LT(bytes.size(), 1u << 20);
    }
    for (const Json& entry : *live) {
        common(entry);
        auto id = readString(entry, "id").value_or("");
        SCOPED_TRACE(id);
        EXPECT_EQ(readString(entry, "movie"), "wallpapers/live/" + id + ".mp4");
        std::error_code ec;
        auto size = fs::file_size(root / "wallpapers/live" / (id + ".mp4"), ec);
        EXPECT_FALSE(ec);
        EXPECT_GT(size, 0u);
        EXPECT_LT(size, 2u << 20);
    }
}

}  // namespace
}  // namespace marlune
