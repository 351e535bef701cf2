// The FFmpeg wrappers on real movies made by the ffmpeg tool.

#include <gtest/gtest.h>

#include <fstream>

#include "platform/media/media_file.h"
#include "platform/media/stream_copy.h"
#include "platform/media/video_decoder.h"
#include "support/ffmpeg_tool.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using test::ffmpeg;
using test::TempDir;

std::string brandOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    char head[12] = {};
    in.read(head, 12);
    return std::string(head + 8, 4);
}

// One movie described, cut short, and copied in part (where the copy starts and ends, from the key
// frame before and shown from the range's start, is the trimmed copy's test in tests/library).
TEST(MediaFile, DescribesTracksFailsWithFfmpegTextAndIsCopiedIntoAPlayableFile) {
    TempDir dir;
    ASSERT_TRUE(test::makeMovie(dir / "clip.mp4", 4.0, 320, 180, true, 45));
    auto file = MediaFile::open(dir / "clip.mp4");
    ASSERT_TRUE(file) << file.error().message;
    ASSERT_TRUE(file->durationSeconds());
    EXPECT_NEAR(*file->durationSeconds(), 4.0, 0.05);
    auto video = file->tracks(TrackKind::video);
    auto audio = file->tracks(TrackKind::audio);
    ASSERT_EQ(video.size(), 1u);
    ASSERT_EQ(audio.size(), 1u);
    EXPECT_EQ(std::tuple(video[0].codecName, video[0].width, video[0].height),
              std::tuple("h264", 320, 180));
    EXPECT_NEAR(video[0].frameRate, 30.0, 0.01);
    EXPECT_EQ(std::tuple(audio[0].codecName, audio[0].sampleRate, audio[0].channels),
              std::tuple("aac", 48000, 1));

    // Without its index (written last), a cut movie can't be read at all.
    auto size = fs::file_size(dir / "clip.mp4");
    fs::copy_file(dir / "clip.mp4", dir / "cut.mp4");
    fs::resize_file(dir / "cut.mp4", size / 2);
    auto cut = MediaFile::open(dir / "cut.mp4");
    ASSERT_FALSE(cut);
    EXPECT_EQ(cut.error().message, "Invalid data found when processing input");

    StreamCopyJob job(dir / "clip.mp4", dir / "out.mp4", 1.0, 3.0);
    EXPECT_EQ(job.progress(), 0.0);
    auto done = job.run();
    ASSERT_TRUE(done) << done.error().message;
    EXPECT_EQ(job.progress(), 1.0);
    const std::string bytes = test::readFile(dir / "out.mp4");
    EXPECT_LT(bytes.find("moov"), bytes.find("mdat")) << "index in front";
    EXPECT_NE(brandOf(dir / "out.mp4"), "qt  ");
    EXPECT_TRUE(test::decodesCleanly(dir / "out.mp4"));

    // PCM sound keeps its codec, in a QuickTime-branded file.
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=160x90:r=30", "-f", "lavfi", "-i",
                        "sine=f=440:sample_rate=48000", "-t", "2", "-c:v", "libx264", "-c:a",
                        "pcm_s16le", (dir / "pcm.mov").string()}));
    StreamCopyJob pcm(dir / "pcm.mov", dir / "pcm.mp4", 0.5, 1.5);
    done = pcm.run();
    ASSERT_TRUE(done) << done.error().message;
    EXPECT_EQ(brandOf(dir / "pcm.mp4"), "qt  ");
    auto pcmOut = MediaFile::open(dir / "pcm.mp4");
    ASSERT_TRUE(pcmOut);
    ASSERT_EQ(pcmOut->tracks(TrackKind::audio).size(), 1u);
    EXPECT_EQ(pcmOut->tracks(TrackKind::audio)[0].codecName, "pcm_s16le");

    // A missing file fails with the system's text, as opening it does.
    StreamCopyJob missing(dir / "nothing.mp4", dir / "out.mp4", 0, 1);
    auto r = missing.run();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message, "No such file or directory");
    StreamCopyJob cancelled(dir / "clip.mp4", dir / "again.mp4", 0, 2);
    cancelled.cancel();
    r = cancelled.run();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), (Error{"Cancelled.", ErrorCode::cancelled}));
}

TEST(VideoDecoder, StillFramesFollowTheDisplayMatrix) {
    TempDir dir;
    // Red top-left quarter on blue, 320 × 180.
    ASSERT_TRUE(
        ffmpeg({"-f", "lavfi", "-i",
                "color=blue:s=320x180:r=10,drawbox=x=0:y=0:w=160:h=90:color=red:t=fill", "-t", "1",
                "-c:v", "libx264", "-pix_fmt", "yuv420p", (dir / "plain.mp4").string()}));
    struct Case {
        const char* rotateTag;  // as the container stores it
        PixelSize size;
        int redX, redY;  // where the red quarter ends up, in fractions ×4 of the picture
    };
    // The placement ffmpeg's own player shows for these files.
    const Case cases[] = {
        {nullptr, {320, 180}, 1, 1},
        {"90", {180, 320}, 1, 3},
        {"180", {320, 180}, 3, 3},
        {"270", {180, 320}, 3, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rotateTag ? c.rotateTag : "none");
        fs::path movie = dir / "plain.mp4";
        if (c.rotateTag) {
            movie = dir / (std::string("rot") + c.rotateTag + ".mp4");
            ASSERT_TRUE(ffmpeg({"-i", (dir / "plain.mp4").string(), "-c", "copy", "-metadata:s:v:0",
                                std::string("rotate=") + c.rotateTag, movie.string()}));
        }
        auto file = MediaFile::open(movie);
        ASSERT_TRUE(file);
        auto image = stillFrame(std::move(*file), 0.5, 0);
        ASSERT_TRUE(image) << image.error().message;
        EXPECT_EQ(image->width, c.size.width);
        EXPECT_EQ(image->height, c.size.height);
        auto isRed = [](std::uint32_t p) { return ((p >> 16) & 0xFF) > 200 && (p & 0xFF) < 60; };
        for (int qy = 1; qy <= 3; qy += 2) {
            for (int qx = 1; qx <= 3; qx += 2) {
                std::uint32_t p = image->pixel(image->width * qx / 4, image->height * qy / 4);
                EXPECT_EQ(isRed(p), qx == c.redX && qy == c.redY)
                    << "quarter " << qx << "," << qy << std::hex << " pixel " << p;
            }
        }
        // Scaled after turning: the width limit applies to the picture as shown.
        auto small = MediaFile::open(movie);
        auto thumb = stillFrame(std::move(*small), 0.5, 90);
        ASSERT_TRUE(thumb);
        EXPECT_EQ(thumb->width, 90);
        EXPECT_EQ(thumb->height, c.size.height * 90 / c.size.width);
    }
}

}  // namespace
}  // namespace marlune
