#pragma once

// Driving a movie writer as a capture does, for the writer tests.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "recording/asset_writer_coordinator.h"
#include "support/synthetic_media.h"

namespace marlune::test {

// Appends picture number `index` (from 0) once the writer has taken (written or dropped) all but
// `inFlight` of the earlier ones, as a capture at a steady rate would: none is dropped for speed.
inline void appendPaced(AssetWriterCoordinator& writer, VideoFrame frame, int index,
                        int inFlight = 2) {
    for (;;) {
        const auto c = writer.counters();
        if (static_cast<int>(c.framesWritten + c.framesDropped + c.framesPaused) >=
            index - inFlight) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    writer.appendVideo(std::move(frame));
}

// Finishes the writer and waits for its one answer.
inline Result<SavedInfo> finishAndWait(AssetWriterCoordinator& writer) {
    std::mutex m;
    std::condition_variable cv;
    std::optional<Result<SavedInfo>> result;
    int calls = 0;
    writer.finish([&](Result<SavedInfo> r) {
        std::lock_guard lock(m);
        ++calls;
        result = std::move(r);
        cv.notify_all();
    });
    std::unique_lock lock(m);
    if (!cv.wait_for(lock, std::chrono::seconds(60), [&] { return result.has_value(); })) {
        return std::unexpected(Error{"no completion"});
    }
    EXPECT_EQ(calls, 1);
    return *result;
}

}  // namespace marlune::test
