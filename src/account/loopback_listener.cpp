#include "account/loopback_listener.h"

#include <gio/gio.h>

#include <algorithm>
#include <list>

namespace marlune {

struct LoopbackConnection;

struct LoopbackListener::Shared {
    OnRequest onRequest;
    std::string reply;
    std::chrono::milliseconds readTimeout;
    int connections = 0;  // served now; on the listener's thread only
    // Those that have sent nothing yet, oldest first: the first to go when all places are taken.
    std::list<LoopbackConnection*> idle;
};

namespace {

using Shared = LoopbackListener::Shared;

// What a pending accept holds, so that it may complete after the listener object is gone.
struct Accepting {
    std::shared_ptr<Shared> shared;
    GSocketListener* listener;  // owned references
    GCancellable* cancellable;

    ~Accepting() {
        g_object_unref(listener);
        g_object_unref(cancellable);
    }
};

constexpr std::string_view kTooLargeReply =
    "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\n"
    "Connection: close\r\n\r\n";

}  // namespace

// One accepted connection, from its first read to its close.
struct LoopbackConnection {
    std::shared_ptr<Shared> shared;
    GSocketConnection* connection;  // owned reference
    GCancellable* cancellable = g_cancellable_new();
    GSource* deadline = nullptr;
    std::string head;  // what arrived so far
    char buffer[4096];

    LoopbackConnection(std::shared_ptr<Shared> s, GSocketConnection* c)
        : shared(std::move(s)), connection(c) {
        ++shared->connections;
        shared->idle.push_back(this);
    }
    ~LoopbackConnection() {
        shared->idle.remove(this);
        if (deadline) {
            g_source_destroy(deadline);
            g_source_unref(deadline);
        }
        g_io_stream_close(G_IO_STREAM(connection), nullptr, nullptr);
        g_object_unref(connection);
        g_object_unref(cancellable);
        --shared->connections;
    }
};

namespace {

void written(GObject* source, GAsyncResult* result, gpointer data) {
    auto* c = static_cast<LoopbackConnection*>(data);
    g_output_stream_write_all_finish(G_OUTPUT_STREAM(source), result, nullptr, nullptr);
    delete c;  // closes the connection
}

void answer(LoopbackConnection* c, std::string_view bytes) {
    g_output_stream_write_all_async(g_io_stream_get_output_stream(G_IO_STREAM(c->connection)),
                                    bytes.data(), bytes.size(), G_PRIORITY_DEFAULT, c->cancellable,
                                    written, c);
}

// Where the request head ends (just past its empty line), if it has arrived.
std::size_t headEnd(const std::string& head) {
    const auto crlf = head.find("\r\n\r\n");
    const auto lf = head.find("\n\n");
    const std::size_t end = std::min(crlf == std::string::npos ? crlf : crlf + 4,
                                     lf == std::string::npos ? lf : lf + 2);
    return end;
}

void readMore(LoopbackConnection* c);

void readDone(GObject* source, GAsyncResult* result, gpointer data) {
    auto* c = static_cast<LoopbackConnection*>(data);
    gssize n = g_input_stream_read_finish(G_INPUT_STREAM(source), result, nullptr);
    if (n <= 0) {
        // Ended, cancelled or out of time before the head was whole: nothing to hand over.
        delete c;
        return;
    }
    if (c->head.empty()) c->shared->idle.remove(c);
    c->head.append(c->buffer, static_cast<std::size_t>(n));
    const std::size_t end = headEnd(c->head);
    if (end == std::string::npos || end > LoopbackListener::kReadBytes) {
        if (c->head.size() < LoopbackListener::kReadBytes) return readMore(c);
        // Far longer than any callback: refused, and the sign-in waits on.
        return answer(c, kTooLargeReply);
    }
    std::string text = c->head.substr(0, end);
    if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) text.clear();
    c->shared->onRequest(std::move(text));
    answer(c, c->shared->reply);
}

void readMore(LoopbackConnection* c) {
    g_input_stream_read_async(g_io_stream_get_input_stream(G_IO_STREAM(c->connection)), c->buffer,
                              sizeof c->buffer, G_PRIORITY_DEFAULT, c->cancellable, readDone, c);
}

void serve(std::shared_ptr<Shared> shared, GSocketConnection* connection) {
    if (shared->connections >= LoopbackListener::kMaxConnections) {
        if (shared->idle.empty()) {
            g_io_stream_close(G_IO_STREAM(connection), nullptr, nullptr);
            g_object_unref(connection);
            return;
        }
        // The oldest connection that has sent nothing makes room: its read ends cancelled and
        // it is closed, so connections held open without a word cannot keep a callback out.
        LoopbackConnection* oldest = shared->idle.front();
        shared->idle.pop_front();
        g_cancellable_cancel(oldest->cancellable);
    }
    auto* c = new LoopbackConnection(std::move(shared), connection);
    // The whole head and the reply must be done in time; the deadline cancels both.
    c->deadline = g_timeout_source_new(static_cast<guint>(c->shared->readTimeout.count()));
    g_source_set_callback(
        c->deadline,
        [](gpointer data) {
            g_cancellable_cancel(static_cast<GCancellable*>(data));
            return G_SOURCE_REMOVE;
        },
        c->cancellable, nullptr);
    GMainContext* context = g_main_context_ref_thread_default();
    g_source_attach(c->deadline, context);
    g_main_context_unref(context);
    readMore(c);
}

void accepted(GObject*, GAsyncResult* result, gpointer data) {
    auto* a = static_cast<Accepting*>(data);
    GSocketConnection* connection =
        g_socket_listener_accept_finish(a->listener, result, nullptr, nullptr);
    if (!connection) {
        // Cancelled (the listener stopped) or the listener failed: no more accepting.
        delete a;
        return;
    }
    serve(a->shared, connection);
    g_socket_listener_accept_async(a->listener, a->cancellable, accepted, a);
}

}  // namespace

Result<std::unique_ptr<LoopbackListener>> LoopbackListener::start(
    OnRequest onRequest, std::string_view reply, std::chrono::milliseconds readTimeout) {
    GSocketListener* listener = g_socket_listener_new();
    GInetAddress* loopback = g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4);
    GSocketAddress* address = g_inet_socket_address_new(loopback, 0);
    GSocketAddress* bound = nullptr;
    GError* error = nullptr;
    gboolean ok = g_socket_listener_add_address(listener, address, G_SOCKET_TYPE_STREAM,
                                                G_SOCKET_PROTOCOL_TCP, nullptr, &bound, &error);
    g_object_unref(address);
    g_object_unref(loopback);
    if (!ok) {
        std::string message = error ? error->message : "The sign-in listener could not listen";
        g_clear_error(&error);
        g_object_unref(listener);
        return fail(message);
    }

    std::unique_ptr<LoopbackListener> self(new LoopbackListener());
    self->shared_ =
        std::make_shared<Shared>(Shared{std::move(onRequest), std::string(reply), readTimeout, 0});
    self->listener_ = listener;
    self->cancellable_ = g_cancellable_new();
    self->port_ = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(bound));
    g_object_unref(bound);
    self->acceptNext();
    return self;
}

void LoopbackListener::acceptNext() {
    auto* a = new Accepting{shared_, G_SOCKET_LISTENER(g_object_ref(listener_)),
                            G_CANCELLABLE(g_object_ref(cancellable_))};
    g_socket_listener_accept_async(listener_, cancellable_, accepted, a);
}

LoopbackListener::~LoopbackListener() {
    g_cancellable_cancel(cancellable_);
    g_socket_listener_close(listener_);
    g_object_unref(cancellable_);
    g_object_unref(listener_);
}

}  // namespace marlune
