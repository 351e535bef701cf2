// The composition's pieces on their own: the looping background movie, colours, the outline and
// the webcam's decoding width, and the resampler against bilinear sampling.

#include <gtest/gtest.h>

#include <cmath>

#include "render/composition.h"
#include "render/live_background_reader.h"
#include "render/resample.h"
#include "render_support.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using test::solid;

// ---- The backgrounds behind the frame ----

TEST(LiveBackgroundReader, LoopsForwardAndWrapsAndRefusesWhatCannotLoop) {
    test::TempDir dir;
    // A movie of `seconds` at 10 pictures a second.
    auto movie = [&](const std::string& name, double seconds) {
        EXPECT_TRUE(
            test::ffmpegLine("-f lavfi -i testsrc2=s=64x36:r=10:d=" + std::to_string(seconds) +
                                 " -c:v libx264 -preset ultrafast -g 5",
                             dir / name));
        return dir / name;
    };
    auto reader = LiveBackgroundReader::open(movie("four.mp4", 4));
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
        {3.99, 3.9},   // after the last picture, until the wrap
        {9.5, 1.5},    // 9.5 s is 1.5 s into the third pass
        {9.5, 1.5},    // asked again: the same
        {12.05, 0},    // wrapped again
    };
    std::uint64_t generation = 0;
    double previous = -1;
    for (auto [t, expected] : requests) {
        const DecodedFrame* frame = reader->frame(t);
        ASSERT_TRUE(frame) << t;
        EXPECT_NEAR(frame->timeSeconds, expected, 1e-6) << t;
        // The generation changes with the picture, and only then.
        EXPECT_EQ(reader->generation() != generation, expected != previous) << t;
        generation = reader->generation();
        previous = expected;
    }
    test::writeFile(dir / "text.mp4", "not a movie");
    ASSERT_TRUE(test::ffmpegLine("-f lavfi -i sine=d=2 -c:a aac", dir / "sound.mp4"));
    for (const fs::path& path : {dir / "missing.mp4", dir / "text.mp4", dir / "sound.mp4",
                                 movie("tenth.mp4", 0.1) /* exactly 0.1 s */}) {
        EXPECT_FALSE(LiveBackgroundReader::open(path).has_value()) << path;
    }
    EXPECT_TRUE(LiveBackgroundReader::open(movie("fifth.mp4", 0.2)).has_value());
}

// ---- The composition's pieces ----

TEST(Composition, ColoursOutlineAndWebcamDecodeWidth) {
    const std::pair<const char*, std::uint32_t> colours[] = {
        {"#1e90ff", 0x1e90ff},
        {"1E90FF", 0x1e90ff},
        {"##1e#90ff", 0x1e90ff},
        {"#abc", 0x000abc},
        {"#12g456", 0x12},
        {"red", 0},
        {"", 0},
        {"#ff1e90ff", 0x1e90ff},
    };
    for (auto [text, rgb] : colours) {
        const Rgb c = colorFromString(text);
        const std::uint32_t got = std::uint32_t(std::lround(c.r * 255)) << 16 |
                                  std::uint32_t(std::lround(c.g * 255)) << 8 |
                                  std::uint32_t(std::lround(c.b * 255));
        EXPECT_EQ(got, rgb) << text;
    }
    // An outline only above half a pixel.
    EXPECT_FALSE(outlineImage({10, 10, 80, 40}, 5, 0.5, 100, 60));
    Surface o = outlineImage({10, 10, 80, 40}, 5, 2, 100, 60);
    ASSERT_TRUE(o);
    EXPECT_EQ(test::surfacePixel(o, 50, 10), 0x73737373u);  // white at 0.45 on the edge
    EXPECT_EQ(test::surfacePixel(o, 50, 30), 0u);           // nothing inside
    EXPECT_EQ(test::surfacePixel(o, 9, 9), 0u);             // the corner is rounded away
    // The webcam is decoded no wider than it shows.
    const WebcamFX webcam{.width = 40, .height = 40};  // 432 × 432 on 1080p
    const FrameSettings padded{
        .type = "color", .paddingPct = 10, .radiusPct = 3};  // k = 864 / 1080
    EXPECT_EQ(webcamDecodeWidth(webcam, std::nullopt, 1920, 1080, 1280, 720), 768);  // 432 × 16/9
    EXPECT_EQ(webcamDecodeWidth(webcam, padded, 1920, 1080, 1280, 720), 615);
    EXPECT_EQ(webcamDecodeWidth(webcam, std::nullopt, 1920, 1080, 320, 240), 320);  // never wider
    EXPECT_FALSE(webcamDecodeWidth(webcam, std::nullopt, 40, 8, 1280, 720));  // not shown at all
}

// Source × shape (× output height) → canvas, movie (even sides, reduced to the height asked for)
// and where the recording is framed on the canvas (padding a share of its short side).

// Bilinear sample of channel c at continuous position (u, v), edges extended: the reference.
double reference(const std::vector<std::uint8_t>& px, int w, int h, double u, double v, int c) {
    const double sx = std::clamp(u - 0.5, 0.0, w - 1.0), sy = std::clamp(v - 0.5, 0.0, h - 1.0);
    const int x0 = int(sx), y0 = int(sy);
    const int x1 = std::min(x0 + 1, w - 1), y1 = std::min(y0 + 1, h - 1);
    const double fx = sx - x0, fy = sy - y0;
    auto at = [&](int x, int y) { return double(px[(y * w + x) * 4 + c]); };
    return (at(x0, y0) * (1 - fx) + at(x1, y0) * fx) * (1 - fy) +
           (at(x0, y1) * (1 - fx) + at(x1, y1) * fx) * fy;
}

TEST(Resample, MatchesBilinearSamplingWithExtendedEdges) {
    const int w = 37, h = 23;  // odd sizes: the vector path's leftovers run too
    std::vector<std::uint8_t> px(w * h * 4);
    for (std::size_t i = 0; i < px.size(); ++i) px[i] = std::uint8_t((i * 7919) % 251);
    const PixelsView source{px.data(), w, h, w * 4};
    struct Case {
        const char* name;
        ResampleMap map;
    };
    const Case cases[] = {
        {"identity", {1, 0, 1, 0}},         {"whole-pixel shift", {1, 3, 1, -2}},
        {"enlarge 2", {0.5, 2, 0.5, 1}},    {"shrink", {1.31, -0.4, 1.31, 0.7}},
        {"stretch", {0.7, 5.2, 1.6, -3.1}},
    };
    const int tw = 45, th = 30;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> out(tw * th * 4, 0);
        resampleBilinear(source, out.data(), tw * 4, 3, 2, tw - 1, th - 3, c.map);
        double worst = 0;
        for (int y = 0; y < th; ++y) {
            for (int x = 0; x < tw; ++x) {
                const bool inside = x >= 3 && x < tw - 1 && y >= 2 && y < th - 3;
                for (int ch = 0; ch < 4; ++ch) {
                    const int got = out[(y * tw + x) * 4 + ch];
                    if (!inside) {
                        ASSERT_EQ(got, 0) << "wrote outside the rectangle at " << x << "," << y;
                        continue;
                    }
                    const double want =
                        reference(px, w, h, (x + 0.5) * c.map.scaleX + c.map.offsetX,
                                  (y + 0.5) * c.map.scaleY + c.map.offsetY, ch);
                    worst = std::max(worst, std::abs(got - want));
                }
            }
        }
        // Weights in 1/64 pixel: within two levels of the exact blend; shifts are exact.
        EXPECT_LE(worst, c.map.scaleX == 1 && c.map.scaleY == 1 ? 0 : 2.5);
    }
}

}  // namespace
}  // namespace marlune
