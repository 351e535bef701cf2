#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/error.h"
#include "core/media_sample.h"

namespace marlune {

// What a finished movie is: its file and its length without pauses, up to the start of its
// last frame.
struct SavedInfo {
    std::filesystem::path url;
    int durationMs = 0;
};

// The texts of the writer's failures.
inline constexpr const char* kWriterFailedText = "Recording failed while writing the file.";
inline constexpr const char* kWriterSetupFailedText = "Could not set up the video writer.";
inline constexpr const char* kWriterNeverStartedText =
    "Recording stopped before any frames were captured.";

// How a writer encodes and keeps time. The defaults are what recordings use; tests and
// benchmarks change them.
struct WriterTuning {
    // libx264's speed preset: the fastest that keeps the High profile, measured to keep 1080p at
    // 30 fps in real time on two cores beside the capture (see README, "Movie writer").
    std::string preset = "superfast";
    // The host clock, read by pause and resume (captured samples carry their own times).
    std::function<HostTime()> clock = hostTimeNow;
    // How long finishing may take before it is reported as failed.
    std::chrono::milliseconds finishTimeout{10'000};
    // Frames waiting for the encoder at most; a frame beyond this is dropped (and counted)
    // rather than making its capture thread wait. A recording's writer takes the capture plan's
    // queue depth: libx264's first pictures are slow.
    int maxPendingFrames = 12;
};

// Frame and buffer counts of one writer. Any thread.
struct WriterCounters {
    std::uint64_t framesWritten = 0;
    std::uint64_t framesDropped = 0;  // refused while the encoder was behind, or out of order
    std::uint64_t framesPaused = 0;   // left out because they were taken during a pause
    std::uint64_t audioBuffersWritten = 0;
    std::uint64_t audioBuffersDropped = 0;
};

// Writes one MPEG-4 movie from live samples: H.264 (High profile, a key frame every fps frames,
// no B-frames) plus up to two AAC tracks, 48 kHz stereo at 192 kbit/s (the microphone first,
// then the system audio). The movie starts at the first video frame; audio from before it is
// dropped, as is any buffer whose time does not move its track forward. Pauses are cut out of
// the movie's timeline. Sound is placed by its time: a gap in a track becomes silence, an
// overlap is trimmed, so sound and picture stay together.
//
// The file is a live movie while it is written (MovieMuxerOptions::live): a crash or a full
// disk loses at most the last second; `finish` turns it into an ordinary movie.
//
// Threads: `prepare` on the caller's thread before anything else; every other member from any
// thread. Appends return at once and never block: the work runs on the writer's own serial
// queue (".writer"); a frame that would wait behind more than `maxPendingFrames` is dropped.
// A writer is used for one movie. Dropping it without `finish` leaves the live movie on disk
// for recovery.
class AssetWriterCoordinator {
  public:
    explicit AssetWriterCoordinator(WriterTuning tuning = {});
    ~AssetWriterCoordinator();
    AssetWriterCoordinator(const AssetWriterCoordinator&) = delete;
    AssetWriterCoordinator& operator=(const AssetWriterCoordinator&) = delete;

    // Creates the movie at `path` (replacing any file there) for pictures of width × height at
    // `fps`, with a microphone and/or system-audio track. The bit rate is `bitrateOverride`, or
    // max(5,000,000, width × height × fps × 0.18) bits per second. Fails with the file system's
    // text when the file cannot be created, or with "Could not set up the video writer.". An
    // audio track the encoder refuses is left out.
    Result<void> prepare(const std::filesystem::path& path, int width, int height, int fps,
                         bool mic, bool systemAudio,
                         std::optional<std::int64_t> bitrateOverride = std::nullopt);

    // The file `prepare` is given, already created and locked (flock) by the caller under a name
    // it claimed: `prepare` writes through this descriptor instead of replacing the file, so that
    // no other instance can take the name in between. Taken over; before `prepare`.
    void useClaimedFile(int fd);

    // Called once, on the writer's queue, when a write fails while recording (a full disk, the
    // file gone): everything after is dropped, so the recording should be stopped and saved with
    // what was written. Before `prepare`.
    void setOnFailure(std::function<void(Error)> onFailure);

    void appendVideo(VideoFrame frame);
    void appendMic(AudioBuffer buffer);
    void appendSystemAudio(AudioBuffer buffer);

    // Samples taken from now until the matching resume are left out, and later ones are moved
    // back by the paused time. Timed on the host clock at the call. A second pause, or a
    // resume while not paused, does nothing.
    void pause();
    void resume();

    // The first video frame's host time in seconds; nothing before it was written.
    std::optional<double> firstVideoPTSSeconds() const;

    // Finishes the movie and calls `completion` exactly once, on the writer's queue: the saved
    // movie; "Recording stopped before any frames were captured." (the file is removed) when
    // no frame was written; the writer's error (for example a full disk: what was written up to
    // then is kept and playable); or "Recording failed while writing the file." when finishing
    // takes longer than `finishTimeout`. A second call completes with the "stopped before any
    // frames" failure.
    void finish(std::function<void(Result<SavedInfo>)> completion);

    WriterCounters counters() const;

    // The bit rate a recording of this size gets without an override.
    static std::int64_t defaultBitRate(int width, int height, int fps);

    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace marlune
