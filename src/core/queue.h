#pragma once

#include <cassert>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

typedef struct _GMainContext GMainContext;

namespace marlune {

// The application identifier; serial queue labels are this followed by a suffix such as ".scheme".
inline constexpr std::string_view kAppIdentifier = "app.marlune.studio";

// A timer scheduled with Queue::after or Queue::every. Copies share the timer. Cancelling from the
// queue's own thread guarantees the callback never runs again; from another thread, a call already
// under way finishes but no new one starts. Dropping every handle does not cancel the timer.
class TimerHandle {
  public:
    TimerHandle() = default;

    void cancel();
    // False once cancelled or, for a one-shot timer, once it has fired.
    bool isActive() const;

    struct State;

  private:
    friend class Queue;
    explicit TimerHandle(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

// An ordered queue of work running on one thread. The main queue runs on the GLib default main
// context (the thread that runs the main loop); each serial queue owns a thread with its own
// context, which is also that thread's default context so that GIO work started there completes
// there. Work posted from one thread runs in the order it was posted. Every member may be called
// from any thread.
class Queue {
  public:
    // The main queue. Its thread is the process's initial thread.
    static Queue& main();
    // A new serial queue labelled kAppIdentifier + suffix, with its thread started.
    static std::shared_ptr<Queue> makeSerial(std::string_view suffix);

    ~Queue();
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    const std::string& label() const { return label_; }
    GMainContext* context() const { return context_; }
    // True when called on this queue's thread.
    bool isCurrent() const;

    // Runs fn later on this queue, never inside this call.
    void post(std::function<void()> fn);
    // Runs fn once, `delay` from now.
    TimerHandle after(std::chrono::milliseconds delay, std::function<void()> fn);
    // Runs fn every `interval`, first `interval` from now, until cancelled.
    TimerHandle every(std::chrono::milliseconds interval, std::function<void()> fn);

    struct Impl;

  private:
    Queue(std::string label, GMainContext* context, bool ownThread);
    TimerHandle schedule(std::chrono::milliseconds ms, bool repeat, std::function<void()> fn);

    std::string label_;
    GMainContext* context_;
    std::shared_ptr<Impl> impl_;
};

// True on the main queue's thread.
bool isMainThread();

// States in debug builds that the calling code runs on `queue` (a Queue or a pointer to one), as
// its header says: `MARLUNE_ASSERT_ON(Queue::main());`.
#define MARLUNE_ASSERT_ON(queue) assert(::marlune::detail::queueOf(queue).isCurrent())

namespace detail {
inline const Queue& queueOf(const Queue& queue) {
    return queue;
}
template <class P>
const Queue& queueOf(const P& pointer) {
    return *pointer;
}
}  // namespace detail

// Runs fn(owner) later on `queue`, only if the owner still lives then: the one way a callback
// from another thread comes home to an object that may be gone by the time it runs.
template <class T, class F>
void postIfAlive(Queue& queue, std::weak_ptr<T> owner, F fn) {
    queue.post([owner = std::move(owner), fn = std::move(fn)]() mutable {
        if (auto alive = owner.lock()) fn(*alive);
    });
}

// The shared pool standing for the system's global concurrent queues (user-initiated priority):
// listings, previews, waveforms, export preparation. Work runs on any of a few threads, in no
// particular order relative to other work. The pool lives until the process exits.
class ConcurrentQueue {
  public:
    static ConcurrentQueue& userInitiated();
    void post(std::function<void()> fn);
    std::size_t threadCount() const;

    struct Impl;

  private:
    ConcurrentQueue();
    Impl* impl_;
};

}  // namespace marlune
