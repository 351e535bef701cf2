// The FFmpeg wrappers on real movies: reading movies the ffmpeg tool made, and writing them.

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "platform/media/audio_mix_reader.h"
#include "platform/media/bgra_to_yuv.h"
#include "platform/media/media_file.h"
#include "platform/media/movie_muxer.h"
#include "platform/media/stream_copy.h"
#include "platform/media/video_decoder.h"
#include "platform/media/video_encoder.h"
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

// One movie described and copied in part (the copy's range: tests/library).
TEST(MediaFile, DescribesTracksAndIsCopiedIntoAPlayableFile) {
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

int channelDistance(std::uint32_t a, std::uint32_t b) {
    int worst = 0;
    for (int shift : {0, 8, 16}) {
        worst = std::max(worst, std::abs(int((a >> shift) & 0xFF) - int((b >> shift) & 0xFF)));
    }
    return worst;
}

// Encodes `frames` pictures made by `picture(i)` at 30 fps into an MP4 of its own.
template <class MakePicture>
Result<void> encodeMovie(const fs::path& path, VideoEncoderOptions options, int frames,
                         MakePicture picture) {
    auto muxer = MovieMuxer::create(path, MovieContainer::mp4);
    if (!muxer) return std::unexpected(muxer.error());
    auto encoder = VideoEncoder::open(options);
    if (!encoder) return std::unexpected(encoder.error());
    auto track = muxer->addTrack(*encoder);
    if (!track) return std::unexpected(track.error());
    if (auto begun = muxer->begin(); !begun) return begun;
    auto write = [&](Result<std::vector<Packet>> packets) -> Result<void> {
        if (!packets) return std::unexpected(packets.error());
        for (auto& p : *packets) {
            if (auto w = muxer->write(std::move(p), *track, 0); !w) return w;
        }
        return {};
    };
    for (int i = 0; i < frames; ++i) {
        if (auto w = write(picture(*encoder, i)); !w) return w;
    }
    if (auto w = write(encoder->finish()); !w) return w;
    return muxer->finish();
}

TEST(VideoEncoder, FullRangeDecodedPicturesAreConvertedToStudioRange) {
    TempDir dir;
    ASSERT_TRUE(test::makeMovie(dir / "src.mp4", 1.0, 320, 180, false));
    // Full-range pictures must be converted to the studio range on the way.
    ASSERT_TRUE(ffmpeg({"-i", (dir / "src.mp4").string(), "-vf", "scale=out_range=full", "-pix_fmt",
                        "yuvj420p", "-c:v", "libx264", "-preset", "ultrafast",
                        (dir / "full.mp4").string()}));
    auto file = MediaFile::open(dir / "full.mp4");
    ASSERT_TRUE(file);
    auto source = VideoDecoder::open(std::move(*file), 0);
    ASSERT_TRUE(source);
    std::vector<BgraImage> originals;
    PictureConverter converter;
    const fs::path out = dir / "out.mp4";
    auto made = encodeMovie(out,
                            {.width = 320,
                             .height = 180,
                             .fps = 30,
                             .preset = "superfast",
                             .matrix = ColourMatrix::bt601},
                            30, [&](VideoEncoder& e, int) -> Result<std::vector<Packet>> {
                                auto picture = source->nextPicture();
                                if (!picture || !*picture) return fail("no picture");
                                BgraImage image;
                                if (auto c = converter.toBgra(**picture, image); !c) {
                                    return std::unexpected(c.error());
                                }
                                originals.push_back(std::move(image));
                                return e.encode(**picture, (*picture)->timeSeconds());
                            });
    ASSERT_TRUE(made) << made.error().message;
    auto outFile = MediaFile::open(out);
    ASSERT_TRUE(outFile);
    auto decoder = VideoDecoder::open(std::move(*outFile), 0);
    ASSERT_TRUE(decoder);
    for (std::size_t i = 0; i < originals.size(); i += 7) {
        auto frame = decoder->frameAt(i / 30.0);
        ASSERT_TRUE(frame);
        double total = 0;
        for (int y = 0; y < 180; y += 9) {
            for (int x = 0; x < 320; x += 8) {
                total += channelDistance(frame->image.pixel(x, y), originals[i].pixel(x, y));
            }
        }
        EXPECT_LT(total / (20 * 40), 4.0) << "frame " << i;
    }
}

// (How the tracks' gains mix over a range is the export's test, through the whole export.)
TEST(AudioMixReader, SilenceBeforeTheMovieIsReadAsItComes) {
    TempDir dir;
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "aevalsrc='0.2*sin(2*PI*660*t)':s=48000:d=1", "-c:a",
                        "aac", (dir / "tone.mp4").string()}));
    // A range starting thirty years before the movie: its silence is read as it comes, not held.
    auto far = AudioMixReader::open(dir / "tone.mp4", {{0, 1.0}}, -1e9, 1.0);
    ASSERT_TRUE(far) << far.error().message;
    std::vector<float> chunk(4096 * 2);
    auto n = far->read(chunk);
    ASSERT_TRUE(n) << n.error().message;
    EXPECT_EQ(*n, 4096);
    EXPECT_TRUE(std::all_of(chunk.begin(), chunk.end(), [](float v) { return v == 0; }));
}

}  // namespace
}  // namespace marlune
