// The FFmpeg wrappers on real movies made by the ffmpeg tool.

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "platform/media/audio_decoder.h"
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

// The first picture of the first video track of `movie`, decoded with `options`.
Result<BgraImage> firstPicture(const fs::path& movie, VideoDecoderOptions options) {
    auto file = MediaFile::open(movie);
    if (!file) return std::unexpected(file.error());
    auto decoder = VideoDecoder::open(std::move(*file), 0, options);
    if (!decoder) return std::unexpected(decoder.error());
    auto frame = decoder->next();
    if (!frame) return std::unexpected(frame.error());
    if (!*frame) return fail("no picture");
    return std::move((*frame)->image);
}

TEST(VideoDecoder, ReducedPicturesAreTheMeansOfTheirBlocks) {
    TempDir dir;
    const fs::path busy = dir / "busy.mp4";
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=640x360:r=10", "-t", "1", "-c:v",
                        "libx264", "-qp", "0", "-pix_fmt", "yuv420p", busy.string()}));
    // 640 / 200 gives 3 × 3 blocks: 213 × 120, each pixel near the mean of its block.
    auto full = firstPicture(busy, {});
    auto reduced = firstPicture(busy, {.reduceToWidth = 200});
    ASSERT_TRUE(full && reduced);
    ASSERT_EQ(reduced->width, 213);
    ASSERT_EQ(reduced->height, 120);
    double total = 0;
    int far = 0;
    for (int y = 0; y < reduced->height; ++y) {
        for (int x = 0; x < reduced->width; ++x) {
            for (int shift : {0, 8, 16}) {
                int sum = 0;
                for (int j = 0; j < 3; ++j) {
                    for (int i = 0; i < 3; ++i)
                        sum += (full->pixel(3 * x + i, 3 * y + j) >> shift) & 0xFF;
                }
                const int d = std::abs(int((reduced->pixel(x, y) >> shift) & 0xFF) - sum / 9);
                total += d;
                far += d > 24;
            }
            ASSERT_EQ(reduced->pixel(x, y) >> 24, 0xFFu) << "opaque";
        }
    }
    EXPECT_LT(total / (213 * 120 * 3), 2.0);
    EXPECT_LT(far, 213 * 120 * 3 / 100);
}

TEST(VideoDecoder, FrameAtPicksThePictureOnScreen) {
    TempDir dir;
    // 10 frames a second, a key frame every 8: times 0, 0.1, … 1.9.
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=160x90:r=10", "-frames:v", "20", "-c:v",
                        "libx264", "-g", "8", (dir / "ten.mp4").string()}));
    auto file = MediaFile::open(dir / "ten.mp4");
    ASSERT_TRUE(file);
    auto decoder = VideoDecoder::open(std::move(*file), 0, {.maxWidth = 80});
    ASSERT_TRUE(decoder);
    EXPECT_EQ(decoder->outputSize(), (PixelSize{80, 45}));
    // Before the first picture: the first one; after the end: the last one; then going back.
    const std::pair<double, double> cases[] = {{0.55, 0.5}, {1.95, 1.9}, {-3.0, 0.0},
                                               {99.0, 1.9}, {0.7, 0.7},  {0.3, 0.3}};
    for (auto [at, shown] : cases) {
        auto frame = decoder->frameAt(at);
        ASSERT_TRUE(frame) << at << ": " << frame.error().message;
        EXPECT_NEAR(frame->timeSeconds, shown, 1e-3) << "at " << at;
        EXPECT_EQ(frame->image.width, 80);
    }
}

TEST(AudioDecoder, DeliversTheRequestedPcm) {
    TempDir dir;
    // Exact sample counts need a lossless track: 16-bit PCM in a QuickTime movie.
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "sine=f=440:sample_rate=44100", "-t", "1", "-ac", "2",
                        "-c:a", "pcm_s16le", (dir / "pcm.mov").string()}));
    struct Case {
        AudioFormat format;
        int rate;
        int channels;
        std::int64_t frames;
        std::int64_t tolerance;
    };
    const Case cases[] = {
        {{.sampleRate = 0, .channels = 1, .format = SampleFormat::s16}, 44100, 1, 44100, 0},
        {{.sampleRate = 48000, .channels = 2, .format = SampleFormat::f32}, 48000, 2, 48000, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rate);
        auto file = MediaFile::open(dir / "pcm.mov");
        ASSERT_TRUE(file);
        auto decoder = AudioDecoder::open(std::move(*file), 0, c.format);
        ASSERT_TRUE(decoder) << decoder.error().message;
        EXPECT_EQ(decoder->format().sampleRate, c.rate);
        std::int64_t frames = 0;
        double expectStart = 0.0;
        float loudest = 0;
        for (;;) {
            auto buffer = decoder->next();
            ASSERT_TRUE(buffer) << buffer.error().message;
            if (!*buffer) break;
            const AudioBuffer& b = **buffer;
            EXPECT_EQ(b.channels, c.channels);
            EXPECT_EQ(b.sampleRate, c.rate);
            EXPECT_NEAR(b.startSeconds, expectStart, 1e-6) << "buffers follow each other";
            expectStart = b.startSeconds + double(b.frameCount) / c.rate;
            frames += b.frameCount;
            if (c.format.format == SampleFormat::s16) {
                EXPECT_EQ(b.s16().size(), std::size_t(b.frameCount) * c.channels);
            } else {
                EXPECT_EQ(b.f32().size(), std::size_t(b.frameCount) * c.channels);
                for (float v : b.f32()) loudest = std::max(loudest, std::abs(v));
            }
        }
        EXPECT_NEAR(frames, c.frames, c.tolerance);
        if (c.format.format == SampleFormat::f32) {
            EXPECT_GT(loudest, 0.05f);  // the tone is at 1/8 of full scale
            EXPECT_LE(loudest, 1.0f);
        }
    }
}

}  // namespace
}  // namespace marlune
