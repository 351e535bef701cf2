#include "recording/recording_clock.h"

#include <cstdio>

namespace marlune {

void RecordingClock::start(TimePoint now) {
    std::lock_guard lock(mutex_);
    startedAt_ = now;
    pauseStartedAt_.reset();
    pausedAccum_ = {};
}

void RecordingClock::pause(TimePoint now) {
    std::lock_guard lock(mutex_);
    if (startedAt_ && !pauseStartedAt_) pauseStartedAt_ = now;
}

void RecordingClock::resume(TimePoint now) {
    std::lock_guard lock(mutex_);
    if (!pauseStartedAt_) return;
    if (now > *pauseStartedAt_) pausedAccum_ += now - *pauseStartedAt_;
    pauseStartedAt_.reset();
}

void RecordingClock::reset() {
    std::lock_guard lock(mutex_);
    startedAt_.reset();
    pauseStartedAt_.reset();
}

bool RecordingClock::isRunning() const {
    std::lock_guard lock(mutex_);
    return startedAt_.has_value();
}

bool RecordingClock::isPaused() const {
    std::lock_guard lock(mutex_);
    return pauseStartedAt_.has_value();
}

std::int64_t RecordingClock::elapsedMs(TimePoint now) const {
    std::lock_guard lock(mutex_);
    if (!startedAt_) return 0;
    const TimePoint end = pauseStartedAt_.value_or(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - *startedAt_ - pausedAccum_);
    return ms.count() < 0 ? 0 : ms.count();
}

std::string formatElapsed(std::int64_t ms) {
    if (ms < 0) ms = 0;
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld", static_cast<long long>(ms / 60000),
                  static_cast<long long>(ms / 1000 % 60));
    return text;
}

}  // namespace marlune
