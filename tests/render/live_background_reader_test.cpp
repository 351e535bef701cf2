#include "render/live_background_reader.h"

#include <gtest/gtest.h>

#include "support/ffmpeg_tool.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;

// A movie of `seconds` at 10 pictures a second.
fs::path movie(const test::TempDir& dir, const std::string& name, double seconds) {
    const fs::path path = dir / name;
    EXPECT_TRUE(
        test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=64x36:r=10:d=" + std::to_string(seconds),
                      "-c:v", "libx264", "-preset", "ultrafast", "-g", "5", path.string()}));
    return path;
}

double shownAt(LiveBackgroundReader& reader, double seconds) {
    const DecodedFrame* frame = reader.frame(seconds);
    return frame ? frame->timeSeconds : -1;
}

TEST(LiveBackgroundReader, LoopsForwardAndWraps) {
    test::TempDir dir;
    auto reader = LiveBackgroundReader::open(movie(dir, "four.mp4", 4));
    ASSERT_TRUE(reader.has_value()) << reader.error().message;
    EXPECT_NEAR(reader->duration(), 4, 1e-6);
    // Requests at 30 a second through one and a half loops, with a few edge times; every picture
    // shown is the last one at or before the loop position.
    const std::pair<double, double> requests[] = {
        {-2, 0},       // negative time is 0
        {0.05, 0},     // between pictures: the earlier one
        {0.1, 0.1},    // exactly on a picture
        {0.133, 0.1},  // faster requests than pictures repeat it
        {1.0, 1.0},    // slower ones skip forward
        {3.9, 3.9},    // the last picture
        {3.99, 3.9},   // after it, until the wrap
        {9.5, 1.5},    // 9.5 s is 1.5 s into the third pass
        {9.5, 1.5},    // asked again: the same
        {12.05, 0},    // wrapped again
    };
    for (auto [t, expected] : requests) {
        SCOPED_TRACE(t);
        EXPECT_NEAR(shownAt(*reader, t), expected, 1e-6);
    }
}

TEST(LiveBackgroundReader, GenerationChangesOnlyWithThePicture) {
    test::TempDir dir;
    auto reader = LiveBackgroundReader::open(movie(dir, "one.mp4", 1));
    ASSERT_TRUE(reader.has_value());
    reader->frame(0.2);
    const auto g = reader->generation();
    reader->frame(0.25);
    EXPECT_EQ(reader->generation(), g);
    reader->frame(0.3);
    EXPECT_NE(reader->generation(), g);
}

TEST(LiveBackgroundReader, RefusesWhatCannotLoop) {
    test::TempDir dir;
    test::writeFile(dir / "text.mp4", "not a movie");
    ASSERT_TRUE(test::ffmpeg(
        {"-f", "lavfi", "-i", "sine=d=2", "-c:a", "aac", (dir / "sound.mp4").string()}));
    const fs::path cases[] = {
        dir / "missing.mp4", dir / "text.mp4",
        dir / "sound.mp4",             // no video
        movie(dir, "tenth.mp4", 0.1),  // exactly 0.1 s
    };
    for (const fs::path& path : cases) {
        SCOPED_TRACE(path.filename());
        EXPECT_FALSE(LiveBackgroundReader::open(path).has_value());
    }
    EXPECT_TRUE(LiveBackgroundReader::open(movie(dir, "fifth.mp4", 0.2)).has_value());
}

}  // namespace
}  // namespace marlune
