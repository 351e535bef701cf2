#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "core/queue.h"

namespace marlune {

// A repeating timer that keeps to a fixed schedule: firing k is due at start + firstDelay +
// k × period, measured on the monotonic clock, whatever the lateness of earlier firings. Timers
// that re-arm from the moment they ran drift by their lateness every period; this one does not.
// Firings missed while the queue's thread was busy are skipped, never run in a burst: the next
// firing is the next one due. Lateness is at most about a millisecond (the main loop's poll
// resolution) plus whatever else the thread is running.
//
// Owns its schedule: destroying it cancels. `start` and `cancel` may be called from any thread;
// from the queue's own thread, `cancel` guarantees the callback never runs again, from another
// thread a call already under way finishes but no new one starts.
class SteadyTimer {
  public:
    SteadyTimer() = default;
    ~SteadyTimer() { cancel(); }
    SteadyTimer(SteadyTimer&&) = default;
    SteadyTimer& operator=(SteadyTimer&& other) noexcept;
    SteadyTimer(const SteadyTimer&) = delete;
    SteadyTimer& operator=(const SteadyTimer&) = delete;

    // Replaces any earlier schedule. `fn` runs on `queue`'s thread; `period` must be positive.
    void start(Queue& queue, std::chrono::nanoseconds firstDelay, std::chrono::nanoseconds period,
               std::function<void()> fn);
    void cancel();
    bool isActive() const;
    // Firings skipped because the thread was busy past their due time, since `start`.
    std::uint64_t skipped() const;

    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace marlune
