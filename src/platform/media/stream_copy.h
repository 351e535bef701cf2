#pragma once

#include <atomic>
#include <filesystem>

#include "core/error.h"

namespace marlune {

// Copies a time range of a movie into a new movie without re-encoding: the copy shows from the
// range's start (the video is copied from its key frame at or before it, the pictures before the
// start hidden by the movie's edit list) and every track is cut where the range ends; the new
// movie's timeline starts at 0. MPEG-4 when it can
// carry every audio and video track, else QuickTime (whatever the file name says); the index
// goes to the front. Other tracks (data, cover art) are left out.
class StreamCopyJob {
  public:
    StreamCopyJob(std::filesystem::path source, std::filesystem::path destination,
                  double startSeconds, double endSeconds);

    // Runs the whole copy on the calling thread (any thread, once). The range is first fitted to
    // the movie (it starts at 0 at the earliest and ends with the movie at the latest). Creates or
    // truncates the destination; on failure whatever was written stays for the caller to remove.
    // Fails with FFmpeg's text, "The range lies outside the recording." when nothing of it is
    // left, or "Cancelled." (ErrorCode::cancelled) after `cancel`.
    Result<void> run();

    // The range copied, in seconds: as given until run() has fitted it to the movie.
    double startSeconds() const { return startSeconds_; }
    double endSeconds() const { return endSeconds_; }

    // Fraction done, 0 to 1, growing with the media copied. Any thread.
    double progress() const { return progress_.load(std::memory_order_relaxed); }
    // Asks a running copy to stop at its next packet. Any thread.
    void cancel() { cancelled_.store(true, std::memory_order_relaxed); }
    bool cancelled() const { return cancelled_.load(std::memory_order_relaxed); }

  private:
    std::filesystem::path source_;
    std::filesystem::path destination_;
    double startSeconds_;
    double endSeconds_;
    std::atomic<double> progress_{0.0};
    std::atomic<bool> cancelled_{false};
};

}  // namespace marlune
