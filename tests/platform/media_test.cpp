// The FFmpeg wrappers on real movies the ffmpeg tool made.

#include <gtest/gtest.h>

#include <fstream>

#include "platform/media/audio_mix_reader.h"
#include "platform/media/media_file.h"
#include "platform/media/stream_copy.h"
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

}  // namespace
}  // namespace marlune
