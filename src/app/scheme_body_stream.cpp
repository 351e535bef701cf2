#include "app/scheme_body_stream.h"

#include <cstring>
#include <deque>

#include <gio/gio.h>

#include "core/queue.h"

namespace marlune {

struct SchemeBodyStream::State {
    std::deque<std::string> chunks;
    std::size_t offset = 0;  // bytes of chunks.front() already read
    std::size_t buffered = 0;
    bool finished = false;
    bool gone = false;

    // The one asynchronous read waiting for data (the stream allows one at a time).
    GTask* pendingRead = nullptr;
    void* pendingBuffer = nullptr;
    gsize pendingCount = 0;
    GSource* cancelSource = nullptr;  // owned reference

    std::function<void()> onStop;
    std::function<void()> ready;
    std::size_t threshold = 0;

    ~State() { dropCancelSource(); }

    bool canAnswer() const { return buffered > 0 || finished; }

    gsize take(void* buffer, gsize count) {
        auto* out = static_cast<char*>(buffer);
        gsize done = 0;
        while (done < count && !chunks.empty()) {
            const std::string& front = chunks.front();
            gsize n = std::min<gsize>(count - done, front.size() - offset);
            std::memcpy(out + done, front.data() + offset, n);
            done += n;
            offset += n;
            if (offset == front.size()) {
                chunks.pop_front();
                offset = 0;
            }
        }
        buffered -= done;
        return done;
    }

    void dropCancelSource() {
        if (!cancelSource) return;
        g_source_destroy(cancelSource);
        g_source_unref(cancelSource);
        cancelSource = nullptr;
    }

    GTask* takePending() {
        GTask* task = pendingRead;
        pendingRead = nullptr;
        dropCancelSource();
        return task;
    }

    void answerPending() {
        if (!pendingRead || !canAnswer()) return;
        gsize n = take(pendingBuffer, pendingCount);
        GTask* task = takePending();
        g_task_return_int(task, static_cast<gssize>(n));
        g_object_unref(task);
        maybeReady();
    }

    void maybeReady() {
        if (ready && (gone || buffered < threshold)) {
            auto fn = std::move(ready);
            ready = nullptr;
            fn();
        }
    }

    // The reader cancelled, closed early or dropped the stream.
    void readerLeft() {
        if (gone) return;
        bool consumed = finished && buffered == 0;
        gone = true;
        chunks.clear();
        buffered = 0;
        if (GTask* task = takePending()) {
            g_task_return_new_error(task, G_IO_ERROR, G_IO_ERROR_CANCELLED, "Reading was stopped");
            g_object_unref(task);
        }
        auto stop = std::move(onStop);
        onStop = nullptr;
        if (stop && !consumed) stop();
        maybeReady();
    }
};

}  // namespace marlune

// ---------------------------------------------------------------------------------------------
// The GInputStream subclass

using marlune::SchemeBodyStream;
using StatePtr = std::shared_ptr<SchemeBodyStream::State>;

G_BEGIN_DECLS
#define MARLUNE_TYPE_BODY_STREAM (marlune_body_stream_get_type())
G_DECLARE_FINAL_TYPE(MarluneBodyStream, marlune_body_stream, MARLUNE, BODY_STREAM, GInputStream)
G_END_DECLS

struct _MarluneBodyStream {
    GInputStream parent_instance;
    StatePtr* state;
};

G_DEFINE_TYPE(MarluneBodyStream, marlune_body_stream, G_TYPE_INPUT_STREAM)

namespace {

SchemeBodyStream::State& stateOf(GInputStream* stream) {
    return **MARLUNE_BODY_STREAM(stream)->state;
}

gssize readSync(GInputStream* stream, void* buffer, gsize count, GCancellable*, GError** error) {
    auto& state = stateOf(stream);
    if (state.gone) {
        g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_CANCELLED, "Reading was stopped");
        return -1;
    }
    if (!state.canAnswer()) {
        // Waiting here would block the main thread that feeds the stream.
        g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK, "No data yet");
        return -1;
    }
    gssize n = static_cast<gssize>(state.take(buffer, count));
    state.maybeReady();
    return n;
}

gboolean onCancelled(GCancellable*, gpointer data) {
    if (auto state = static_cast<std::weak_ptr<SchemeBodyStream::State>*>(data)->lock()) {
        state->readerLeft();
    }
    return G_SOURCE_REMOVE;
}

void readAsync(GInputStream* stream, void* buffer, gsize count, int priority,
               GCancellable* cancellable, GAsyncReadyCallback callback, gpointer data) {
    StatePtr state = *MARLUNE_BODY_STREAM(stream)->state;
    GTask* task = g_task_new(stream, cancellable, callback, data);
    g_task_set_priority(task, priority);
    if (g_cancellable_is_cancelled(cancellable)) state->readerLeft();
    if (state->gone) {
        g_task_return_new_error(task, G_IO_ERROR, G_IO_ERROR_CANCELLED, "Reading was stopped");
        g_object_unref(task);
        return;
    }
    state->pendingRead = task;
    state->pendingBuffer = buffer;
    state->pendingCount = count;
    if (state->canAnswer()) {
        state->answerPending();
        return;
    }
    if (cancellable) {
        state->cancelSource = g_cancellable_source_new(cancellable);
        g_source_set_callback(state->cancelSource, G_SOURCE_FUNC(onCancelled),
                              new std::weak_ptr<SchemeBodyStream::State>(state), [](gpointer p) {
                                  delete static_cast<std::weak_ptr<SchemeBodyStream::State>*>(p);
                              });
        g_source_attach(state->cancelSource, g_main_context_get_thread_default());
    }
}

gssize readFinish(GInputStream*, GAsyncResult* result, GError** error) {
    return g_task_propagate_int(G_TASK(result), error);
}

gboolean closeSync(GInputStream* stream, GCancellable*, GError**) {
    auto& state = stateOf(stream);
    if (!(state.finished && state.buffered == 0)) state.readerLeft();
    return TRUE;
}

// Closing runs here on the calling (main) thread, not on a worker as GIO would by default.
void closeAsync(GInputStream* stream, int, GCancellable* cancellable, GAsyncReadyCallback callback,
                gpointer data) {
    GTask* task = g_task_new(stream, cancellable, callback, data);
    closeSync(stream, cancellable, nullptr);
    g_task_return_boolean(task, TRUE);
    g_object_unref(task);
}

gboolean closeFinish(GInputStream*, GAsyncResult* result, GError** error) {
    return g_task_propagate_boolean(G_TASK(result), error);
}

void finalizeStream(GObject* object) {
    auto* self = MARLUNE_BODY_STREAM(object);
    (*self->state)->readerLeft();
    delete self->state;
    G_OBJECT_CLASS(marlune_body_stream_parent_class)->finalize(object);
}

}  // namespace

static void marlune_body_stream_class_init(MarluneBodyStreamClass* klass) {
    G_OBJECT_CLASS(klass)->finalize = finalizeStream;
    auto* input = G_INPUT_STREAM_CLASS(klass);
    input->read_fn = readSync;
    input->read_async = readAsync;
    input->read_finish = readFinish;
    input->close_fn = closeSync;
    input->close_async = closeAsync;
    input->close_finish = closeFinish;
}

static void marlune_body_stream_init(MarluneBodyStream* self) {
    self->state = new StatePtr(std::make_shared<SchemeBodyStream::State>());
}

// ---------------------------------------------------------------------------------------------

namespace marlune {

SchemeBodyStream::SchemeBodyStream() {
    auto* object = static_cast<MarluneBodyStream*>(g_object_new(MARLUNE_TYPE_BODY_STREAM, nullptr));
    state_ = *object->state;
    stream_ = G_INPUT_STREAM(object);
}

SchemeBodyStream::~SchemeBodyStream() {
    if (stream_) g_object_unref(stream_);
}

GInputStream* SchemeBodyStream::releaseStream() {
    GInputStream* s = stream_;
    stream_ = nullptr;
    return s;
}

void SchemeBodyStream::push(std::string bytes) {
    MARLUNE_ASSERT_ON(Queue::main());
    if (state_->gone || state_->finished || bytes.empty()) return;
    state_->buffered += bytes.size();
    state_->chunks.push_back(std::move(bytes));
    state_->answerPending();
}

void SchemeBodyStream::finish() {
    if (state_->finished) return;
    state_->finished = true;
    state_->answerPending();
}

std::size_t SchemeBodyStream::buffered() const {
    return state_->buffered;
}

bool SchemeBodyStream::readerGone() const {
    return state_->gone;
}

void SchemeBodyStream::whenBelow(std::size_t threshold, std::function<void()> ready) {
    MARLUNE_ASSERT_ON(Queue::main());
    state_->threshold = threshold;
    state_->ready = std::move(ready);
    state_->maybeReady();
}

void SchemeBodyStream::setOnStop(std::function<void()> onStop) {
    state_->onStop = std::move(onStop);
}

}  // namespace marlune
