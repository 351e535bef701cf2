// Recordings that used to be lost or left broken: a claimed name given up before the writing, and
// a companion left empty by a kill. (A disk that fills before the first part is complete is in
// crash_safety_test.cpp, the folder removed while recording in tests/desktop/loss_cases_test.cpp.)

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "movie_probe.h"
#include "platform/media/live_movie.h"
#include "recording/asset_writer_coordinator.h"
#include "recording/desktop_support.h"
#include "recording/recording_recovery.h"
#include "support/synthetic_media.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

ino_t inodeOf(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// `frames` synthetic pictures at 30 a second, each taken (written or dropped) before the next.
void appendPaced(AssetWriterCoordinator& writer, int frames) {
    const HostTime start = hostTimeNow();
    for (int i = 0; i < frames; ++i) {
        writer.appendVideo(test::syntheticFrame(320, 180, i, start + i * test::kSecond / 30));
        // The writer drops frames it cannot take at once: pace them as a capture would.
        while (writer.counters().framesWritten + writer.counters().framesDropped <
               static_cast<std::uint64_t>(i + 1)) {
            std::this_thread::sleep_for(1ms);
        }
    }
}

// Two seconds of pictures, then finish; the result.
Result<SavedInfo> recordAndFinish(AssetWriterCoordinator& writer) {
    appendPaced(writer, 60);
    std::mutex m;
    std::condition_variable cv;
    std::optional<Result<SavedInfo>> result;
    writer.finish([&](Result<SavedInfo> r) {
        std::lock_guard lock(m);
        result = std::move(r);
        cv.notify_all();
    });
    std::unique_lock lock(m);
    cv.wait_for(lock, 60s, [&] { return result.has_value(); });
    return result.value_or(std::unexpected(Error{"no answer"}));
}

// The name a recording claims stays its own: the writer writes through the claimed file, never
// removing it and creating another under the same name that a second instance could take too.
TEST(LossCases, TheClaimedFileIsTheOneWritten) {
    test::TempDir dir;
    const fs::path movie = dir / "Marlune 2026-01-01 at 10.00.00.mp4";
    int fd = ::open(movie.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    const ino_t claimed = inodeOf(movie);

    AssetWriterCoordinator writer;
    writer.useClaimedFile(fd);
    ASSERT_TRUE(writer.prepare(movie, 320, 180, 30, false, false));
    EXPECT_EQ(inodeOf(movie), claimed);
    // Another process sees it taken from the claim on, before anything is written.
    EXPECT_EQ(liveMovieState(movie), LiveMovieState::inUse);
    auto saved = recordAndFinish(writer);
    ASSERT_TRUE(saved) << saved.error().message;
    EXPECT_EQ(inodeOf(movie), claimed);
    EXPECT_TRUE(test::decodesCleanly(movie));
}

// What a kill or a full disk leaves with nothing playable in it is set aside once, never listed
// as a recording, and reported once.
TEST(LossCases, NothingPlayableIsSetAsideOnce) {
    test::TempDir dir;
    // A live movie with its first part cut short: as a disk that filled up early leaves it.
    const fs::path source = dir / "source.mp4";
    {
        AssetWriterCoordinator writer;
        ASSERT_TRUE(writer.prepare(source, 320, 180, 30, true, false));
        // Dropped unfinished: the live movie stays as it was written.
        appendPaced(writer, 75);
    }
    // The writer's queue lets go of the file once its last work is done.
    for (int i = 0; i < 2000 && liveMovieState(source) != LiveMovieState::unfinished; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(liveMovieState(source), LiveMovieState::unfinished);
    const std::string live = test::readFile(source);
    const auto firstPart = live.find("moof");
    ASSERT_NE(firstPart, std::string::npos);
    fs::remove(source);

    const fs::path folder = dir / "Marlune";
    test::writeFile(folder / "Marlune cut.mp4", live.substr(0, firstPart + 2000));
    test::writeFile(folder / "Marlune cut.webcam.mp4", "");
    test::writeFile(folder / "Marlune header only.mp4", live.substr(0, firstPart - 4));
    test::writeFile(folder / "Marlune whole.mp4", live);

    auto first = recoverInterruptedRecordings(folder);
    ASSERT_EQ(first.size(), 3u);
    EXPECT_EQ(first[0].name, "Marlune cut.mp4");
    EXPECT_FALSE(first[0].recovered);
    EXPECT_EQ(first[1].name, "Marlune header only.mp4");
    EXPECT_FALSE(first[1].recovered);
    EXPECT_EQ(first[2].name, "Marlune whole.mp4");
    EXPECT_TRUE(first[2].recovered) << first[2].error;
    // Only the recovered movie is left under a recording's name; the empty companion is gone.
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(folder)) {
        const std::string name = e.path().filename();
        if (name.ends_with(".mp4")) left.push_back(name);
    }
    EXPECT_EQ(left, std::vector<std::string>{"Marlune whole.mp4"});
    EXPECT_TRUE(recoverInterruptedRecordings(folder).empty());
}

}  // namespace
}  // namespace marlune
