#include "library/media_tools.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <future>

#include "core/queue.h"
#include "library_test_support.h"
#include "support/ffmpeg_tool.h"
#include "support/main_loop.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using test::ffmpeg;

Result<std::vector<double>> waveformOf(const std::string& name,
                                       int buckets = MediaTools::kDefaultBuckets) {
    std::promise<Result<std::vector<double>>> done;
    MediaTools().waveform(name, buckets,
                          [&](Result<std::vector<double>> r) { done.set_value(std::move(r)); });
    auto future = done.get_future();
    if (future.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        return fail("waveform never completed");
    }
    return future.get();
}

Result<ExportedMovie> trim(const std::string& name, std::int64_t startMs, std::int64_t endMs) {
    std::optional<Result<ExportedMovie>> out;
    MediaTools tools;
    tools.exportTrim(
        name, startMs, endMs, [](double) {},
        [&](Result<ExportedMovie> r) {
            EXPECT_TRUE(isMainThread());
            out = std::move(r);
        });
    EXPECT_TRUE(test::runMainUntil([&] { return out.has_value(); }, std::chrono::seconds(60)));
    return out.value_or(fail("not finished"));
}

TEST(PeakWindows, WindowsRunAcrossBuffers) {
    // Window 0 peaks at 1000 in the first buffer, window 1 at −16384 straddling two buffers,
    // window 2 is partial.
    std::vector<std::int16_t> samples(2048 * 2 + 100, 0);
    samples[10] = 1000;
    samples[2048 + 2000] = -16384;
    samples[2048 * 2 + 50] = 12;
    PeakWindows windows;
    std::span<const std::int16_t> all(samples);
    for (std::size_t at = 0, piece = 1; at < all.size(); at += piece, piece = piece * 3 + 7) {
        windows.add(all.subspan(at, std::min(piece, all.size() - at)));
    }
    auto peaks = windows.finish();
    ASSERT_EQ(peaks.size(), 3u);
    EXPECT_DOUBLE_EQ(peaks[0], 1000 / 32767.0);
    EXPECT_DOUBLE_EQ(peaks[1], 16384 / 32767.0);
    EXPECT_DOUBLE_EQ(peaks[2], 12 / 32767.0);

    PeakWindows fullScale;
    std::vector<std::int16_t> lowest(2048, -32768);
    fullScale.add(lowest);
    EXPECT_EQ(fullScale.finish(), std::vector<double>{1.0}) << "−32768 counts as 32767";

    EXPECT_TRUE(PeakWindows().finish().empty());
}

TEST(Waveform, BucketsNormalisationAndRounding) {
    struct Case {
        const char* what;
        std::vector<double> peaks;
        int buckets;
        std::vector<double> values;
    };
    const Case cases[] = {
        {"no windows", {}, 800, {}},
        {"fewer windows than buckets", {0.25, 0.5, 0.125}, 800, {0.5, 1.0, 0.25}},
        {"as many as buckets", {0.25, 0.5}, 2, {0.5, 1.0}},
        // step 2.5: windows 0–1 and 2–4.
        {"uneven groups", {0.1, 0.4, 0.2, 0.3, 0.8}, 2, {0.5, 1.0}},
        // step 1.5: windows 0, 1–2.
        {"step below two", {0.8, 0.2, 0.4}, 2, {1.0, 0.5}},
        {"nearly silent stays as is", {0.004, 0.0095, 0.0001}, 800, {0.004, 0.01, 0.0}},
        {"just above the threshold", {0.0101, 0.00505}, 800, {1.0, 0.5}},
        {"rounded to three decimals", {1.0, 0.12345, 0.9876}, 800, {1.0, 0.123, 0.988}},
        {"halves away from zero", {0.8, 0.0005 * 0.8 + 1e-12}, 800, {1.0, 0.001}},
    };
    for (const auto& c : cases) {
        auto values = waveformFromPeaks(c.peaks, c.buckets);
        ASSERT_EQ(values.size(), c.values.size()) << c.what;
        for (std::size_t i = 0; i < values.size(); ++i) {
            EXPECT_DOUBLE_EQ(values[i], c.values[i]) << c.what << " [" << i << "]";
        }
    }
}

TEST(Waveform, EightThousandWindowsMakeEightHundredBucketsOfTen) {
    fs::path dir = test::freshRecordingsFolder();
    // 16 384 000 samples = 8000 windows. In every group of ten windows the first and the last
    // are loud, at a level that jumps from group to group; the others are quiet. A bucket that
    // took in a neighbour's window would show the neighbour's level.
    const std::string level = "0.1+0.8*mod(floor(n/20480)*37\\,50)/50";
    const std::string expr =
        "if(eq(mod(floor(n/2048)\\,10)\\,0)+eq(mod(floor(n/2048)\\,10)\\,9)\\," + level +
        "\\,0.05)";
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "aevalsrc=exprs='" + expr + "':s=16384:d=1000", "-c:a",
                        "pcm_s16le", (dir / "long.mov").string()}));
    auto peaks = waveformOf("long.mov");
    ASSERT_TRUE(peaks) << peaks.error().message;
    ASSERT_EQ(peaks->size(), 800u);
    const double loudest = 0.1 + 0.8 * 49 / 50;
    for (int i = 0; i < 800; ++i) {
        double expected = (0.1 + 0.8 * ((i * 37) % 50) / 50) / loudest;
        EXPECT_NEAR((*peaks)[i], expected, 0.0015) << "bucket " << i;
    }
}

TEST(Waveform, Failures) {
    fs::path dir = test::freshRecordingsFolder();
    ASSERT_TRUE(test::makeMovie(dir / "mute.mp4", 1.0, 160, 90, false));
    auto mute = waveformOf("mute.mp4");
    ASSERT_TRUE(mute) << mute.error().message;
    EXPECT_TRUE(mute->empty()) << "no audio: no waveform, no error";

    auto outside = waveformOf("../mute.mp4");
    ASSERT_FALSE(outside);
    EXPECT_EQ(outside.error().message, "Invalid file name.");

    // What cannot be read, or leads outside the folder, draws nothing, as a mute movie does.
    test::writeFile(dir / "notes.mp4", "not a movie");
    ASSERT_TRUE(test::makeMovie(dir.parent_path() / "outside.mp4", 1.0, 160, 90));
    fs::create_symlink(dir.parent_path() / "outside.mp4", dir / "link.mp4");
    for (const char* name : {"nothing.mp4", "notes.mp4", "link.mp4"}) {
        auto peaks = waveformOf(name);
        ASSERT_TRUE(peaks) << name << ": " << peaks.error().message;
        EXPECT_TRUE(peaks->empty()) << name;
    }
}

TEST(ExportTrim, NamesTheCopyAfterTheSource) {
    fs::path dir = test::freshRecordingsFolder();
    ASSERT_TRUE(test::makeMovie(dir / "Clip.mp4", 2.0));
    fs::create_directory(dir / "sub");
    ASSERT_TRUE(test::makeMovie(dir / "sub/Take.mov", 2.0));
    fs::copy_file(dir / "Clip.mp4", dir / "NoExtension");

    const std::pair<const char*, const char*> cases[] = {
        {"Clip.mp4", "Clip trimmed.mp4"},
        {"Clip.mp4", "Clip trimmed 2.mp4"},
        {"sub/Take.mov", "sub/Take trimmed.mp4"},
        {"NoExtension", "NoExtension trimmed.mp4"},
    };
    for (auto [source, made] : cases) {
        auto out = trim(source, 500, 1500);
        ASSERT_TRUE(out) << source << ": " << out.error().message;
        EXPECT_EQ(out->name, made);
        EXPECT_GT(fs::file_size(dir / made), 0u);
    }
}

TEST(ExportTrim, Failures) {
    fs::path dir = test::freshRecordingsFolder();
    ASSERT_TRUE(test::makeMovie(dir / "Clip.mp4", 1.0));
    struct Case {
        const char* name;
        std::int64_t startMs, endMs;
        const char* error;
    };
    const Case cases[] = {
        {"Clip.mp4", 5000, 5000, "Trim range is empty."},
        {"Clip.mp4", 900, 100, "Trim range is empty."},
        {"../Clip.mp4", 0, 1000, "Invalid file name."},
        {"nothing.mp4", 0, 1000, "No such file or directory"},
    };
    for (const auto& c : cases) {
        auto out = trim(c.name, c.startMs, c.endMs);
        ASSERT_FALSE(out) << c.name;
        EXPECT_EQ(out.error().message, c.error) << c.name;
    }
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(dir)) left.push_back(e.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{"Clip.mp4"}) << "failed copies leave nothing";
}

TEST(ExportTrim, ToolsGoingAwayEndTheirTrimsAndTheirFiles) {
    fs::path dir = test::freshRecordingsFolder();
    ASSERT_TRUE(test::makeBigMovie(dir / "Big.mp4", 80));
    std::optional<Result<ExportedMovie>> result;
    auto tools = std::make_unique<MediaTools>();
    tools->exportTrim(
        "Big.mp4", 0, 160000, [](double) {},
        [&](Result<ExportedMovie> r) { result = std::move(r); });
    // Gone while the copy runs (or before it has begun): however far it got, nothing is named.
    tools.reset();
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(dir)) left.push_back(e.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{"Big.mp4"}) << "no partial copy outlives the tools";
    EXPECT_TRUE(test::runMainUntil([&] { return result.has_value(); }));
    EXPECT_FALSE(result && *result);
}

}  // namespace
}  // namespace marlune
