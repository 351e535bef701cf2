// Picture times learnt without decoding, against the decoder's own, and the pictures an export of
// a range composes.

#include "render/picture_timeline.h"

#include <gtest/gtest.h>

#include "platform/media/video_decoder.h"
#include "render_support.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;

// Every picture's time as the decoder gives it.
std::vector<double> decodedTimes(const fs::path& movie) {
    auto file = MediaFile::open(movie);
    if (!file) return {};
    const int track = file->tracks(TrackKind::video).at(0).index;
    auto decoder = VideoDecoder::open(std::move(*file), track);
    std::vector<double> times;
    while (decoder) {
        auto picture = decoder->nextPicture();
        if (!picture || !*picture) break;
        times.push_back((*picture)->timeSeconds());
    }
    return times;
}

TEST(PictureTimeline, TimesAreTheDecodersWhateverTheContainer) {
    test::TempDir dir;
    const std::string x264 =
        "-f lavfi -i testsrc2=s=160x90:r=30 -t 2 -c:v libx264 -pix_fmt yuv420p"
        " -g 10 -x264-params ";
    const std::tuple<const char*, std::string, bool> cases[] = {
        // name, ffmpeg arguments, whether the timeline comes from the index (no packets read)
        {"plain.mp4", x264 + "bframes=0", true},
        // Pictures coded out of order: the index holds decoding times, so the packets are read.
        {"reordered.mp4", x264 + "bframes=2", false},
        // What a recording looks like until it is finished: fragments with no index up front.
        {"fragmented.mp4", x264 + "bframes=0 -movflags frag_keyframe+empty_moov", false},
    };
    for (const auto& [name, args, indexed] : cases) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(test::ffmpegLine(args, dir / name));
        auto file = MediaFile::open(dir / name);
        ASSERT_TRUE(file);
        EXPECT_EQ(file->indexedSamples(0).has_value(), indexed);
        auto timeline = PictureTimeline::open(dir / name, 0);
        ASSERT_TRUE(timeline);
        EXPECT_EQ(timeline->complete(), indexed);
        ASSERT_TRUE(timeline->reach(0.5));
        const std::vector<double> decoded = decodedTimes(dir / name);
        ASSERT_EQ(decoded.size(), 60u);
        // Every picture up to the time asked for is known (pictures beyond may still be missing).
        std::vector<double> known = timeline->times(), expected = decoded;
        std::erase_if(known, [](double t) { return t > 0.5; });
        std::erase_if(expected, [](double t) { return t > 0.5; });
        EXPECT_EQ(known, expected);
        ASSERT_TRUE(timeline->reach(100));
        EXPECT_TRUE(timeline->complete());
        EXPECT_EQ(timeline->times(), decoded);
        // A key frame every ten pictures.
        EXPECT_EQ(timeline->keyFrameAtOrBefore(0.5), decoded[10]);
        EXPECT_EQ(timeline->keyFrameAtOrBefore(decoded[20]), decoded[20]);
        EXPECT_EQ(timeline->keyFrameAtOrBefore(-1), std::nullopt);
    }
}

TEST(PictureTimeline, RangePicturesFollowTheExport) {
    // Pictures every 100 ms from 1 s to 2 s; the last one shows until 2.1 s.
    std::vector<double> times;
    for (int i = 10; i <= 20; ++i) times.push_back(i / 10.0);
    using P = RangePicture;
    struct Case {
        double start, end;
        std::vector<P> expected;
    };
    const Case cases[] = {
        // Starting on a picture: the pictures inside, the end excluded.
        {1.2, 1.5, {{1.2, 1.2}, {1.3, 1.3}, {1.4, 1.4}}},
        // Starting between two: the one on screen is handed over at the start first.
        {1.25, 1.45, {{1.25, 1.2}, {1.3, 1.3}, {1.4, 1.4}}},
        // Before the first picture: nothing is on screen yet, so the first is the first.
        {0.5, 1.15, {{1.0, 1.0}, {1.1, 1.1}}},
        // No picture starts inside: the one on screen shows all through.
        {1.42, 1.48, {{1.42, 1.4}}},
        {2.05, 2.09, {{2.05, 2.0}}},
        // Past the last picture's end there is nothing to show.
        {2.2, 3.0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.start) + " to " + std::to_string(c.end));
        auto got = rangePictures(times, c.start, c.end, 2.1);
        ASSERT_EQ(got.size(), c.expected.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_DOUBLE_EQ(got[i].ptsSeconds, c.expected[i].ptsSeconds) << i;
            EXPECT_DOUBLE_EQ(got[i].pictureSeconds, c.expected[i].pictureSeconds) << i;
        }
    }
}

}  // namespace
}  // namespace marlune
