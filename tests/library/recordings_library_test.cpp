#include "library/recordings_library.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <map>

#include "core/queue.h"
#include "platform/image/image_codecs.h"
#include "support/ffmpeg_tool.h"
#include "support/recordings_folder.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;

Json listNow() {
    std::promise<std::pair<Json, bool>> done;
    RecordingsLibrary().list(RecordingsLibrary::Thumbnails::include, [&](Json items) {
        done.set_value({std::move(items), isMainThread()});
    });
    auto future = done.get_future();
    if (future.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "listing never completed";
        return Json();
    }
    auto [items, onMain] = future.get();
    EXPECT_FALSE(onMain) << "the listing completes off the main thread";
    return items;
}

std::optional<PixelSize> thumbSize(const Json& item) {
    if (!item.contains("thumb")) return std::nullopt;
    std::string url = item["thumb"].get<std::string>();
    const std::string prefix = "data:image/jpeg;base64,";
    if (!url.starts_with(prefix)) return PixelSize{-1, -1};
    gsize size = 0;
    guchar* bytes = g_base64_decode(url.c_str() + prefix.size(), &size);
    auto image = decodeJpeg({bytes, size});
    g_free(bytes);
    if (!image) return PixelSize{-1, -1};
    return PixelSize{image->width, image->height};
}

TEST(RecordingsLibrary, SafeUrlKeepsNamesInsideTheFolder) {
    const std::string base = RecordingsLibrary::dirURL().lexically_normal().string();
    ASSERT_TRUE(base.ends_with("/Marlune"));
    struct Case {
        std::string name;
        std::optional<std::string> inside;  // expected path relative to the folder
    };
    const Case cases[] = {{"sub/clip.mp4", "sub/clip.mp4"},
                          {"sub/../Clip.mp4", "Clip.mp4"},
                          {"/etc/passwd", "etc/passwd"},  // appended, not substituted
                          {"", std::nullopt},
                          {".", std::nullopt},
                          {"sub/../../Clip.mp4", std::nullopt},
                          {"../Marlune/Clip.mp4", "Clip.mp4"},
                          {"../MarluneEvil/Clip.mp4", std::nullopt},
                          {"../Marlunx/Clip.mp4", std::nullopt},  // a sibling as long as it
                          {std::string("Clip.mp4\0.txt", 13), std::nullopt}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto url = RecordingsLibrary::safeURL(c.name);
        if (!c.inside) {
            EXPECT_EQ(url, std::nullopt);
        } else {
            ASSERT_TRUE(url.has_value());
            EXPECT_EQ(url->string(), base + "/" + *c.inside);
        }
    }
}

TEST(RecordingsLibrary, ExportsAreListedButNotTheirUnfinishedParts) {
    const std::pair<const char*, bool> listed[] = {{"Clip.mp44", false},
                                                   {"D export.gif", true},
                                                   {"D export.WebM", true},
                                                   {"D.gif.part", false}};
    for (auto [name, shown] : listed)
        EXPECT_EQ(RecordingsLibrary::isListedName(name), shown) << name;
}

TEST(RecordingsLibrary, ListingShowsRecordingsOnly) {
    fs::path dir = test::freshRecordingsFolder();
    fs::remove_all(dir);
    EXPECT_EQ(listNow(), Json::array()) << "no folder";
    dir = test::freshRecordingsFolder();
    EXPECT_EQ(listNow(), Json::array()) << "an empty folder";
    ASSERT_TRUE(test::makeMovie(dir / "Clip.mp4", 2.0, 640, 360));
    ASSERT_TRUE(test::makeMovie(dir / "Clip.WEBCAM.MP4", 1.0, 320, 240));
    ASSERT_TRUE(test::makeMovie(dir / "Clip.webcam.mp4", 1.0));
    ASSERT_TRUE(test::makeMovie(dir / ".hidden.mp4", 1.0));
    test::TempDir scratch;
    ASSERT_TRUE(test::makeMovie(scratch / "whole.mp4", 2.0));
    std::ofstream(dir / "Clip.mp4.marlune.json") << "{}";
    std::ofstream(dir / "Bad \xff name.mp4") << "not UTF-8";
    // Cut in half: the index, written last, is gone.
    fs::copy_file(scratch / "whole.mp4", dir / "broken.mp4");
    fs::resize_file(dir / "broken.mp4", fs::file_size(scratch / "whole.mp4") / 2);
    // (Pipes, links and folders named like recordings: tests/integration, through the program.)

    Json items = listNow();
    ASSERT_TRUE(items.is_array());
    EXPECT_TRUE(serializeStrict(items)) << "the reply can be sent";
    std::map<std::string, Json> byName;
    for (const auto& item : items) byName[item["name"].get<std::string>()] = item;
    ASSERT_EQ(byName.size(), 3u) << items.dump();
    ASSERT_TRUE(byName.contains("Clip.mp4"));
    ASSERT_TRUE(byName.contains("Clip.WEBCAM.MP4"));
    ASSERT_TRUE(byName.contains("broken.mp4"));

    struct Expect {
        const char* name;
        std::int64_t durationMs;
        std::optional<PixelSize> thumb;
        bool webcam;
    };
    const Expect expected[] = {
        {"Clip.mp4", 2000, PixelSize{480, 270}, true},
        {"Clip.WEBCAM.MP4", 1000, PixelSize{320, 240}, false},  // never enlarged
        {"broken.mp4", 0, std::nullopt, false}};
    for (const auto& e : expected) {
        SCOPED_TRACE(e.name);
        const Json& item = byName[e.name];
        EXPECT_EQ(item["size"].get<std::int64_t>(), std::int64_t(fs::file_size(dir / e.name)));
        EXPECT_NEAR(item["durationMs"].get<std::int64_t>(), e.durationMs, 30);
        EXPECT_EQ(thumbSize(item), e.thumb);
        EXPECT_EQ(item["webcam"], e.webcam);
    }
    // Files made a moment ago: real birth times, newest first.
    for (std::size_t i = 1; i < items.size(); ++i) {
        EXPECT_GE(items[i - 1]["createdAt"].get<double>(), items[i]["createdAt"].get<double>());
    }
}

}  // namespace
}  // namespace marlune
