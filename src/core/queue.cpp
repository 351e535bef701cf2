#include "core/queue.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include <glib.h>
#include <pthread.h>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
// GLib's locks are futexes ThreadSanitizer cannot see, so a hand-over through a main context
// looks unsynchronised to it: the poster releases the queue's state, the drain acquires it.
#define MARLUNE_HANDOVER_RELEASE(p) __tsan_release(p)
#define MARLUNE_HANDOVER_ACQUIRE(p) __tsan_acquire(p)
#else
#define MARLUNE_HANDOVER_RELEASE(p) ((void)(p))
#define MARLUNE_HANDOVER_ACQUIRE(p) ((void)(p))
#endif

namespace marlune {

namespace {

// Static initialisation runs on the process's initial thread, which is the one that runs main().
const std::thread::id gMainThread = std::this_thread::get_id();

}  // namespace

bool isMainThread() {
    return std::this_thread::get_id() == gMainThread;
}

// ---------------------------------------------------------------------------------------------
// Timers

struct TimerHandle::State {
    std::atomic<bool> cancelled{false};
    std::atomic<bool> fired{false};
    bool repeat = false;
    GSource* source = nullptr;  // owned reference, released with the state
    std::function<void()> fn;

    ~State() {
        if (source) g_source_unref(source);
    }
};

void TimerHandle::cancel() {
    if (!state_) return;
    state_->cancelled = true;
    g_source_destroy(state_->source);
}

bool TimerHandle::isActive() const {
    return state_ && !state_->cancelled && !(state_->fired && !state_->repeat);
}

namespace {

gboolean timerFired(gpointer data) {
    MARLUNE_HANDOVER_ACQUIRE(data);
    auto state = *static_cast<std::shared_ptr<TimerHandle::State>*>(data);
    if (state->cancelled) return G_SOURCE_REMOVE;
    if (!state->repeat) state->fired = true;
    state->fn();
    return state->repeat && !state->cancelled ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

void freeTimerData(gpointer data) {
    delete static_cast<std::shared_ptr<TimerHandle::State>*>(data);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Queue

// Shared by the queue and its thread, so that a queue whose last owner lets it go from its own
// thread can still finish its work: the thread keeps this alive until its loop has ended.
struct Queue::Impl {
    std::mutex mutex;
    std::deque<std::function<void()>> pending;
    bool drainScheduled = false;

    GMainLoop* loop = nullptr;        // serial queues only; owns a reference to the context
    GMainContext* context = nullptr;  // serial queues only; owned reference
    std::thread thread;
    std::thread::id threadId;

    ~Impl() {
        if (loop) g_main_loop_unref(loop);
        // Sources still attached (timers nobody cancelled) go with the context.
        if (context) g_main_context_unref(context);
    }

    static gboolean drain(gpointer data) {
        auto* self = static_cast<Impl*>(data);
        MARLUNE_HANDOVER_ACQUIRE(self);
        std::deque<std::function<void()>> batch;
        {
            std::lock_guard lock(self->mutex);
            batch.swap(self->pending);
            self->drainScheduled = false;
        }
        // Only the work present when the drain began runs now; anything posted meanwhile gets a
        // new drain, so a busy queue cannot starve the context's other sources.
        for (auto& fn : batch) fn();
        return G_SOURCE_REMOVE;
    }
};

Queue::Queue(std::string label, GMainContext* context, bool ownThread)
    : label_(std::move(label)), context_(context), impl_(std::make_shared<Impl>()) {
    if (!ownThread) {
        impl_->threadId = gMainThread;
        return;
    }
    impl_->context = context_;
    impl_->loop = g_main_loop_new(context_, FALSE);
    std::promise<void> started;
    auto ready = started.get_future();
    // Thread names are limited to 15 bytes: keep the suffix, which tells the queues apart.
    std::string name = "marlune" + label_.substr(kAppIdentifier.size());
    // The thread touches only the shared state: the queue may be gone before its loop ends.
    impl_->thread = std::thread([impl = impl_, name = name.substr(0, 15), &started] {
        pthread_setname_np(pthread_self(), name.c_str());
        g_main_context_push_thread_default(impl->context);
        impl->threadId = std::this_thread::get_id();
        started.set_value();
        g_main_loop_run(impl->loop);
        g_main_context_pop_thread_default(impl->context);
    });
    ready.wait();
}

Queue::~Queue() {
    if (impl_->loop) {
        // Quit from inside the loop so that work already posted finishes first.
        GMainLoop* loop = impl_->loop;
        post([loop] { g_main_loop_quit(loop); });
        if (impl_->thread.get_id() == std::this_thread::get_id()) {
            impl_->thread.detach();
        } else {
            impl_->thread.join();
        }
    }
}

Queue& Queue::main() {
    static Queue* queue = new Queue("main", g_main_context_default(), false);
    return *queue;
}

std::shared_ptr<Queue> Queue::makeSerial(std::string_view suffix) {
    std::string label(kAppIdentifier);
    label += suffix;
    return std::shared_ptr<Queue>(new Queue(std::move(label), g_main_context_new(), true));
}

bool Queue::isCurrent() const {
    return std::this_thread::get_id() == impl_->threadId;
}

void Queue::post(std::function<void()> fn) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->pending.push_back(std::move(fn));
        if (impl_->drainScheduled) return;
        impl_->drainScheduled = true;
    }
    // The drain may let the queue's last owner go: all of the queue that is needed is read before
    // the hand-over is marked.
    Impl* impl = impl_.get();
    GMainContext* context = context_;
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, &Impl::drain, impl, nullptr);
    MARLUNE_HANDOVER_RELEASE(impl);
    g_source_attach(source, context);
    g_source_unref(source);
}

TimerHandle Queue::schedule(std::chrono::milliseconds ms, bool repeat, std::function<void()> fn) {
    auto state = std::make_shared<TimerHandle::State>();
    state->repeat = repeat;
    state->fn = std::move(fn);
    auto interval = static_cast<guint>(std::max<std::chrono::milliseconds::rep>(ms.count(), 0));
    state->source = g_timeout_source_new(interval);
    g_source_set_priority(state->source, G_PRIORITY_DEFAULT);
    auto* data = new std::shared_ptr<TimerHandle::State>(state);
    g_source_set_callback(state->source, timerFired, data, freeTimerData);
    MARLUNE_HANDOVER_RELEASE(data);
    g_source_attach(state->source, context_);
    return TimerHandle(std::move(state));
}

TimerHandle Queue::after(std::chrono::milliseconds delay, std::function<void()> fn) {
    return schedule(delay, false, std::move(fn));
}

TimerHandle Queue::every(std::chrono::milliseconds interval, std::function<void()> fn) {
    return schedule(interval, true, std::move(fn));
}

// ---------------------------------------------------------------------------------------------
// ConcurrentQueue

struct ConcurrentQueue::Impl {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> pending;
    std::vector<std::thread> threads;
};

ConcurrentQueue::ConcurrentQueue() : impl_(new Impl) {
    unsigned n = std::max(2u, std::min(8u, std::thread::hardware_concurrency()));
    for (unsigned i = 0; i < n; ++i) {
        impl_->threads.emplace_back([impl = impl_] {
            pthread_setname_np(pthread_self(), "marlune.pool");
            for (;;) {
                std::function<void()> fn;
                {
                    std::unique_lock lock(impl->mutex);
                    impl->wake.wait(lock, [impl] { return !impl->pending.empty(); });
                    fn = std::move(impl->pending.front());
                    impl->pending.pop_front();
                }
                fn();
            }
        });
        // The pool lives as long as the process; its threads end with it.
        impl_->threads.back().detach();
    }
}

ConcurrentQueue& ConcurrentQueue::userInitiated() {
    static ConcurrentQueue* pool = new ConcurrentQueue();
    return *pool;
}

void ConcurrentQueue::post(std::function<void()> fn) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->pending.push_back(std::move(fn));
    }
    impl_->wake.notify_one();
}

std::size_t ConcurrentQueue::threadCount() const {
    return impl_->threads.size();
}

}  // namespace marlune
