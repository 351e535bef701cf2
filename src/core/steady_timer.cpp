#include "core/steady_timer.h"

#include <atomic>

#include <glib.h>

namespace marlune {

struct SteadyTimer::State {
    std::atomic<bool> cancelled{false};
    std::atomic<std::uint64_t> skipped{0};
    GSource* source = nullptr;  // owned reference, released with the state
    std::function<void()> fn;
    // Firing k is due at originNs + k × periodNs on the monotonic clock. `next` is touched only
    // on the queue's thread.
    std::int64_t originNs = 0;
    std::int64_t periodNs = 1;
    std::uint64_t next = 0;

    ~State() {
        if (source) g_source_unref(source);
    }

    // GLib's ready times are microseconds; rounding up never fires before the due time.
    gint64 readyTimeOf(std::uint64_t k) const {
        std::int64_t dueNs = originNs + static_cast<std::int64_t>(k) * periodNs;
        return (dueNs + 999) / 1000;
    }
};

namespace {

std::int64_t monotonicNs() {
    return g_get_monotonic_time() * 1000;
}

gboolean dispatchSteady(GSource*, GSourceFunc callback, gpointer data) {
    return callback(data);
}

GSourceFuncs steadyFuncs = {nullptr, nullptr, dispatchSteady, nullptr, nullptr, nullptr};

gboolean steadyFired(gpointer data) {
    auto state = *static_cast<std::shared_ptr<SteadyTimer::State>*>(data);
    if (state->cancelled) return G_SOURCE_REMOVE;
    state->fn();
    if (state->cancelled) return G_SOURCE_REMOVE;
    std::uint64_t k = state->next + 1;
    std::int64_t now = monotonicNs();
    std::int64_t dueNs = state->originNs + static_cast<std::int64_t>(k) * state->periodNs;
    if (dueNs <= now) {
        std::uint64_t caughtUp =
            static_cast<std::uint64_t>((now - state->originNs) / state->periodNs) + 1;
        state->skipped += caughtUp - k;
        k = caughtUp;
    }
    state->next = k;
    g_source_set_ready_time(state->source, state->readyTimeOf(k));
    return G_SOURCE_CONTINUE;
}

void freeSteadyData(gpointer data) {
    delete static_cast<std::shared_ptr<SteadyTimer::State>*>(data);
}

}  // namespace

SteadyTimer& SteadyTimer::operator=(SteadyTimer&& other) noexcept {
    if (this != &other) {
        cancel();
        state_ = std::move(other.state_);
    }
    return *this;
}

void SteadyTimer::start(Queue& queue, std::chrono::nanoseconds firstDelay,
                        std::chrono::nanoseconds period, std::function<void()> fn) {
    cancel();
    auto state = std::make_shared<State>();
    state->fn = std::move(fn);
    state->periodNs = std::max<std::int64_t>(period.count(), 1);
    state->originNs = monotonicNs() + std::max<std::int64_t>(firstDelay.count(), 0);
    state->source = g_source_new(&steadyFuncs, sizeof(GSource));
    g_source_set_priority(state->source, G_PRIORITY_DEFAULT);
    g_source_set_callback(state->source, steadyFired, new std::shared_ptr<State>(state),
                          freeSteadyData);
    g_source_set_ready_time(state->source, state->readyTimeOf(0));
    g_source_attach(state->source, queue.context());
    state_ = std::move(state);
}

void SteadyTimer::cancel() {
    if (!state_) return;
    state_->cancelled = true;
    g_source_destroy(state_->source);
    state_.reset();
}

bool SteadyTimer::isActive() const {
    return state_ && !state_->cancelled;
}

std::uint64_t SteadyTimer::skipped() const {
    return state_ ? state_->skipped.load() : 0;
}

}  // namespace marlune
