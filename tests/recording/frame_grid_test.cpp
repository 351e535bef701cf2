// Pictures taken at uneven times are written on the movie's frame grid, so that a reader at the
// movie's rate never meets two pictures with one decoding time.

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "movie_probe.h"
#include "recording/asset_writer_coordinator.h"
#include "support/ffmpeg_tool.h"
#include "support/synthetic_media.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;
using test::kSecond;

TEST(FrameGrid, UnevenPicturesLandOnDistinctFramesOfTheRate) {
    // When each picture was taken (ms after the first), and the frame of 30 per second it is
    // written on (-1: dropped).
    struct Case {
        double takenMs;
        int frame;
    };
    const Case cases[] = {
        {0, 0},    {30, 1},   {50, 2},  // taken for frames 0 and 1, both taken: moved on
        {60, -1},                       // before the last one's place: dropped
        {75, 3},   {140, 4},            // taken for 2 (taken: moved on) and 4
        {150, 5},  {170, 6},            // a late picture pushes the next one on
        {400, 12}, {401, 13},           // its own frame, then the next one, 32 ms ahead
        {402, -1},                      // before the last one's place again
    };
    test::TempDir dir;
    AssetWriterCoordinator writer;
    ASSERT_TRUE(writer.prepare(dir / "grid.mp4", 320, 240, 30, false, false));
    const HostTime start = 1000 * kSecond;
    int index = 0;
    for (const Case& c : cases) {
        // One at a time, so that none is dropped for speed.
        while (writer.counters().framesWritten + writer.counters().framesDropped <
               std::uint64_t(index)) {
            std::this_thread::sleep_for(1ms);
        }
        writer.appendVideo(
            test::syntheticFrame(320, 240, index++, start + HostTime(c.takenMs * 1e6)));
    }
    std::mutex m;
    std::condition_variable cv;
    std::optional<Result<SavedInfo>> saved;
    writer.finish([&](Result<SavedInfo> r) {
        std::lock_guard lock(m);
        saved = std::move(r);
        cv.notify_all();
    });
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 60s, [&] { return saved.has_value(); }));
    }
    ASSERT_TRUE(*saved) << saved->error().message;

    std::vector<double> expected;
    for (const Case& c : cases) {
        if (c.frame >= 0) expected.push_back(c.frame / 30.0);
    }
    const auto packets = test::probeVideoPackets(dir / "grid.mp4");
    ASSERT_EQ(packets.size(), expected.size());
    for (std::size_t i = 0; i < packets.size(); ++i) {
        EXPECT_NEAR(packets[i].time, expected[i], 1e-4) << "picture " << i;
    }
    // ffmpeg reads it at 30 per second without a complaint.
    const auto complaints =
        test::toolOutput({"sh", "-c", "ffmpeg -nostdin -v warning -i \"$0\" -f null - 2>&1",
                          (dir / "grid.mp4").string()});
    ASSERT_TRUE(complaints);
    EXPECT_EQ(complaints->find("non monotonically"), std::string::npos) << *complaints;
}

}  // namespace
}  // namespace marlune
