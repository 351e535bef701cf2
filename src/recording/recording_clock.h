#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace marlune {

// The clock of one recording: time since capture started, with paused time taken out. It is the
// timeline of the tracks and of what the page shows; the movie writer keeps its own pause offsets
// on the capture clock, and the two are independent. Monotonic, so a change of the system time
// during a recording moves neither.
//
// Written on the main thread; read from any thread (the caret tracker reads it on its own queue).
class RecordingClock {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // Starts at `now` with nothing paused.
    void start(TimePoint now);
    // Stands the clock still from `now` on. Nothing when stopped or already paused.
    void pause(TimePoint now);
    // Adds the pause that began earlier to the paused time. Nothing when not paused.
    void resume(TimePoint now);
    // Stopped: elapsedMs reads 0 until the next start.
    void reset();

    bool isRunning() const;
    bool isPaused() const;
    // Milliseconds at `now`: 0 when stopped; the pause's start while paused; truncated toward zero
    // and never below 0.
    std::int64_t elapsedMs(TimePoint now = std::chrono::steady_clock::now()) const;

  private:
    mutable std::mutex mutex_;
    std::optional<TimePoint> startedAt_;
    std::optional<TimePoint> pauseStartedAt_;
    std::chrono::steady_clock::duration pausedAccum_{};
};

// The elapsed time as the tray shows it: "MM:SS", minutes not wrapped at 60 (61:05).
std::string formatElapsed(std::int64_t ms);

}  // namespace marlune
