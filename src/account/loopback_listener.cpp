#include "account/loopback_listener.h"

#include <gio/gio.h>

namespace marlune {

struct LoopbackListener::Shared {
    OnRequest onRequest;
    std::string reply;
    std::chrono::milliseconds readTimeout;
    int connections = 0;  // served now; on the listener's thread only
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

// One accepted connection, from its read to its close.
struct Connection {
    std::shared_ptr<Shared> shared;
    GSocketConnection* connection;  // owned reference
    GCancellable* cancellable = g_cancellable_new();
    GSource* deadline = nullptr;
    char buffer[LoopbackListener::kReadBytes];

    Connection(std::shared_ptr<Shared> s, GSocketConnection* c)
        : shared(std::move(s)), connection(c) {
        ++shared->connections;
    }
    ~Connection() {
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

void written(GObject* source, GAsyncResult* result, gpointer data) {
    auto* c = static_cast<Connection*>(data);
    g_output_stream_write_all_finish(G_OUTPUT_STREAM(source), result, nullptr, nullptr);
    delete c;  // closes the connection
}

void readDone(GObject* source, GAsyncResult* result, gpointer data) {
    auto* c = static_cast<Connection*>(data);
    gssize n = g_input_stream_read_finish(G_INPUT_STREAM(source), result, nullptr);
    std::string text;
    if (n > 0 && g_utf8_validate(c->buffer, n, nullptr)) {
        text.assign(c->buffer, static_cast<std::size_t>(n));
    }
    c->shared->onRequest(std::move(text));
    const std::string& reply = c->shared->reply;
    g_output_stream_write_all_async(g_io_stream_get_output_stream(G_IO_STREAM(c->connection)),
                                    reply.data(), reply.size(), G_PRIORITY_DEFAULT, c->cancellable,
                                    written, c);
}

void serve(std::shared_ptr<Shared> shared, GSocketConnection* connection) {
    if (shared->connections >= LoopbackListener::kMaxConnections) {
        g_io_stream_close(G_IO_STREAM(connection), nullptr, nullptr);
        g_object_unref(connection);
        return;
    }
    auto* c = new Connection(std::move(shared), connection);
    // The read and the reply together must be done in time; the deadline cancels both.
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
    g_input_stream_read_async(g_io_stream_get_input_stream(G_IO_STREAM(connection)), c->buffer,
                              sizeof c->buffer, G_PRIORITY_DEFAULT, c->cancellable, readDone, c);
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
