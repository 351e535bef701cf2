// Exports and previews read the recorder's small webcam copy only when it shows enough and
// matches the movie; otherwise (older recordings too) the movie itself.

#include <gtest/gtest.h>

#include <fstream>

#include "platform/media/webcam_proxy.h"
#include "render/export/webcam_feed.h"
#include "render_support.h"
#include "support/recordings_folder.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;

TEST(WebcamCopy, IsReadOnlyWhenItShowsEnoughAndMatchesTheMovie) {
    const fs::path dir = test::freshRecordingsFolder();
    const fs::path movie = dir / "Rec.webcam.mp4", copy = dir / "Rec.webcam.small.m4v";
    ASSERT_TRUE(test::makeMovie(movie, 2.0, 1280, 720, false));
    ASSERT_EQ(webcamProxyPath(movie), copy);
    enum Spoil { none, live, link, stale };
    struct Case {
        const char* label;
        double seconds;  // of the copy; 0: none
        int width, height;
        double box;  // percent
        Spoil spoil;
        bool read;
    } const cases[] = {
        {"the default box", 2, 640, 360, 40, none, true},
        {"no copy: an older recording", 0, 640, 360, 40, none, false},
        {"a box wider than the copy", 2, 640, 360, 80, none, false},
        {"another length", 4, 640, 360, 40, none, false},
        {"another shape", 2, 640, 480, 40, none, false},
        {"left unfinished by a crash", 2, 640, 360, 40, live, false},
        {"a link", 2, 640, 360, 40, link, false},
        {"left from an earlier recording", 2, 640, 360, 40, stale, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove(copy);
        const fs::path made = dir / "made.mp4";
        if (c.seconds > 0) {
            ASSERT_TRUE(test::makeMovie(made, c.seconds, c.width, c.height, false));
            if (c.spoil == live)
                std::fstream(made, std::ios::in | std::ios::out).seekp(8) << "mrln";
            c.spoil == link ? fs::create_symlink(made, copy) : fs::rename(made, copy);
            if (c.spoil == stale)
                fs::last_write_time(copy, fs::last_write_time(movie) - std::chrono::hours(1));
        }
        WebcamFX webcam{.file = "Rec.webcam.mp4", .width = c.box, .height = c.box};
        auto found = findWebcamMovie(webcam, FrameSettings{.type = "color"}, 1920, 1080);
        ASSERT_TRUE(found);
        EXPECT_EQ(found->path, c.read ? copy : movie);
        EXPECT_LE(found->decodeWidth, c.read ? c.width : 1280);
    }
}

}  // namespace
}  // namespace marlune
