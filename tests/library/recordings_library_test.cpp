#include "library/recordings_library.h"

#include <gtest/gtest.h>

namespace marlune {
namespace {

TEST(RecordingsLibrary, SafeUrlKeepsNamesInsideTheFolder) {
    const std::string base = RecordingsLibrary::dirURL().lexically_normal().string();
    ASSERT_TRUE(base.ends_with("/Marlune"));
    struct Case {
        std::string name;
        std::optional<std::string> inside;  // expected path relative to the folder
    };
    const Case cases[] = {
        {"Clip.mp4", "Clip.mp4"},
        {"sub/clip.mp4", "sub/clip.mp4"},
        {"sub//clip.mp4", "sub/clip.mp4"},
        {"./Clip.mp4", "Clip.mp4"},
        {"sub/../Clip.mp4", "Clip.mp4"},
        {"/etc/passwd", "etc/passwd"},  // appended, not substituted
        {"sub/", "sub"},
        {"Recording 2026-12-06 at 18.40.05.mp4", "Recording 2026-12-06 at 18.40.05.mp4"},
        {"", std::nullopt},
        {".", std::nullopt},
        {"./", std::nullopt},
        {"..", std::nullopt},
        {"../Clip.mp4", std::nullopt},
        {"sub/../../Clip.mp4", std::nullopt},
        {"../Marlune/Clip.mp4", "Clip.mp4"},
        {"../MarluneEvil/Clip.mp4", std::nullopt},
        {std::string("Clip.mp4\0.txt", 13), std::nullopt},
    };
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

TEST(RecordingsLibrary, WebcamCompanionNames) {
    const std::pair<const char*, const char*> cases[] = {
        {"Clip.mp4", "Clip.webcam.mp4"},
        {"Clip.MP4", "Clip.webcam.mp4"},
        {"Clip.Mp4", "Clip.webcam.mp4"},
        {"Clip.mov", "Clip.mov.webcam.mp4"},
        {"/home/u/Videos/Marlune/a.b.mp4", "/home/u/Videos/Marlune/a.b.webcam.mp4"},
        {"mp4", "mp4.webcam.mp4"},
        {"", ".webcam.mp4"},
    };
    for (auto [in, out] : cases) EXPECT_EQ(RecordingsLibrary::webcamPath(in), out) << in;
}

}  // namespace
}  // namespace marlune
