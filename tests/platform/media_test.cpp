// The FFmpeg wrappers on real movies the ffmpeg tool made.

#include <gtest/gtest.h>

#include <fstream>

#include "platform/media/audio_mix_reader.h"
#include "platform/media/av_support.h"
#include "platform/media/media_file.h"
#include "platform/media/stream_copy.h"
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

// VP9's groups of pictures are encoded side by side and must come back as one stream in order:
// each picture's grey level is read back from the decoded stream.
TEST(VideoEncoder, Vp9GroupsEncodedSideBySidePlayInOrder) {
    TempDir dir;
    // Pictures 40-69 are decoded ones handed on unconverted, mid-grey.
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "color=c=0x808080:s=160x120:r=30:d=1", "-pix_fmt",
                        "yuv420p", "-c:v", "libx264", (dir / "grey.mp4").string()}));
    auto file = MediaFile::open(dir / "grey.mp4");
    ASSERT_TRUE(file);
    auto decoder = VideoDecoder::open(std::move(*file), 0, {});
    ASSERT_TRUE(decoder);
    auto encoder = VideoEncoder::open({.codec = VideoCodec::vp9,
                                       .width = 160,
                                       .height = 120,
                                       .bitRate = 400'000,
                                       .keyFrameInterval = 10});
    ASSERT_TRUE(encoder) << encoder.error().message;

    constexpr int kPictures = 95;
    auto level = [](int i) { return i >= 40 && i < 70 ? -1 : 20 + (i * 37) % 220; };
    std::vector<Packet> packets;
    BgraImage image = BgraImage::blank(160, 120);
    for (int i = 0; i < kPictures; ++i) {
        Result<std::vector<Packet>> out;
        if (level(i) < 0) {
            auto picture = decoder->nextPicture();
            ASSERT_TRUE(picture && *picture);
            out = encoder->encode(**picture, i / 30.0);
        } else {
            std::fill(image.pixels.begin(), image.pixels.end(), std::uint8_t(level(i)));
            out = encoder->encode(BgraPixels(image), i / 30.0);
        }
        ASSERT_TRUE(out) << out.error().message;
        for (auto& p : *out) packets.push_back(std::move(p));
    }
    auto rest = encoder->finish(4.0);
    ASSERT_TRUE(rest);
    for (auto& p : *rest) packets.push_back(std::move(p));
    ASSERT_EQ(packets.size(), std::size_t{kPictures});

    const AVCodec* vp9 = avcodec_find_decoder(AV_CODEC_ID_VP9);
    av::CodecContext reader(avcodec_alloc_context3(vp9));
    ASSERT_EQ(avcodec_open2(reader.get(), vp9, nullptr), 0);
    auto frame = av::makeFrame();
    for (int i = 0; i < kPictures; ++i) {
        SCOPED_TRACE(i);
        const Packet& p = packets[static_cast<std::size_t>(i)];
        EXPECT_NEAR(p.ptsSeconds().value_or(-1), i / 30.0, 1e-4);
        EXPECT_EQ(p.isKeyFrame(), i % 10 == 0);
        EXPECT_NEAR(p.durationSeconds(), i + 1 < kPictures ? 1 / 30.0 : 4.0 - i / 30.0, 1e-4);
        ASSERT_EQ(avcodec_send_packet(reader.get(), p.impl().packet.get()), 0);
        ASSERT_EQ(avcodec_receive_frame(reader.get(), frame.get()), 0);
        double sum = 0;
        for (int y = 0; y < 120; ++y) {
            for (int x = 0; x < 160; ++x) sum += frame->data[0][y * frame->linesize[0] + x];
        }
        const double grey = level(i) < 0 ? 128 : level(i);
        EXPECT_NEAR(sum / (160 * 120), 16 + grey * 219 / 255, 4);
    }
}

}  // namespace
}  // namespace marlune
