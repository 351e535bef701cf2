// Which webcam movie an export or a preview decodes: the recorder's small copy when it shows
// enough and matches the movie, else the movie itself.

#include <gtest/gtest.h>

#include <fstream>

#include "platform/media/webcam_proxy.h"
#include "render/export/webcam_feed.h"
#include "render_support.h"
#include "support/recordings_folder.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;

// A finished movie whose type box says it is still being written, as a crash leaves a copy.
void markLive(const fs::path& path) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(8);
    file.write("mrln", 4);
}

TEST(WebcamCopy, IsReadOnlyWhenItShowsEnoughAndMatchesTheMovie) {
    const fs::path dir = test::freshRecordingsFolder();
    ASSERT_TRUE(test::makeMovie(dir / "Rec.webcam.mp4", 2.0, 1280, 720, false));
    ASSERT_EQ(webcamProxyPath(dir / "Rec.webcam.mp4"), dir / "Rec.webcam.small.m4v");
    const fs::path copy = dir / "Rec.webcam.small.m4v";
    const fs::path made = dir / "made.mp4";
    struct Case {
        const char* label;
        double copySeconds;  // 0: no copy
        int copyWidth;
        int copyHeight;
        double boxPercent;
        bool live = false;
        bool link = false;
        bool copyRead;
        bool stale = false;
    };
    const Case cases[] = {
        {"the default box", 2.0, 640, 360, 40, false, false, true},
        {"no copy: an older recording", 0, 640, 360, 40, false, false, false},
        {"a box wider than the copy", 2.0, 640, 360, 80, false, false, false},
        {"a copy of another length", 4.0, 640, 360, 40, false, false, false},
        {"a copy of another shape", 2.0, 640, 480, 40, false, false, false},
        {"a copy left unfinished", 2.0, 640, 360, 40, true, false, false},
        {"a copy that is a link", 2.0, 640, 360, 40, false, true, false},
        {"a copy from an earlier recording", 2.0, 640, 360, 40, false, false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove(copy);
        fs::remove(made);
        if (c.copySeconds > 0) {
            ASSERT_TRUE(test::makeMovie(made, c.copySeconds, c.copyWidth, c.copyHeight, false));
            if (c.live) markLive(made);
            if (c.link) {
                fs::create_symlink(made, copy);
            } else {
                fs::rename(made, copy);
            }
            if (c.stale) {
                fs::last_write_time(
                    copy, fs::last_write_time(dir / "Rec.webcam.mp4") - std::chrono::hours(1));
            }
        }
        WebcamFX webcam{.file = "Rec.webcam.mp4", .width = c.boxPercent, .height = c.boxPercent};
        const FrameSettings frame{.type = "color", .paddingPct = 12};
        auto movie = findWebcamMovie(webcam, frame, 1920, 1080);
        ASSERT_TRUE(movie);
        EXPECT_EQ(movie->path, c.copyRead ? copy : dir / "Rec.webcam.mp4");
        // Never decoded wider than the movie read.
        EXPECT_LE(movie->decodeWidth, c.copyRead ? c.copyWidth : 1280);
    }
}

}  // namespace
}  // namespace marlune
