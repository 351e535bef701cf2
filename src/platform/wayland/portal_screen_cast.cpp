#include "platform/wayland/portal_screen_cast.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

#include <atomic>
#include <utility>

#include "platform/wayland/portal_common.h"

namespace marlune::wayland {
namespace {

constexpr const char* kPortalName = portal::kName;
constexpr const char* kPortalPath = portal::kPath;
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";

// Callbacks reach the Impl through a heap-held weak pointer that GLib frees (GDestroyNotify), so
// a completion that arrives after the object has gone does nothing.
using WeakImpl = std::weak_ptr<PortalScreenCast::Impl>;
void deleteWeak(gpointer data) {
    delete static_cast<WeakImpl*>(data);
}

std::uint32_t lookupUint(GVariant* dict, const char* key, std::uint32_t fallback) {
    std::uint32_t value = fallback;
    if (dict) g_variant_lookup(dict, key, "u", &value);
    return value;
}

}  // namespace

struct PortalScreenCast::Impl : std::enable_shared_from_this<Impl> {
    // The Response being waited for. Only one portal request is outstanding at a time.
    struct Awaited {
        std::string method;
        std::string path;
        guint subscription = 0;
        GSource* timer = nullptr;
        std::function<void(Result<GVariant*>)> then;
    };

    GDBusConnection* bus = nullptr;
    GCancellable* cancellable = g_cancellable_new();
    PortalScreenCastOptions options;
    std::uint32_t version = 0;
    std::uint32_t availableTypes = kSourceMonitor;
    std::uint32_t availableCursorModes = 0;
    PortalCursorMode cursorMode = PortalCursorMode::embedded;
    std::string sessionPath;
    guint closedSubscription = 0;
    guint portalWatch = 0;
    bool sessionOpen = false;
    std::function<void()> closedHandler;
    Awaited awaited;

    ~Impl() {
        g_cancellable_cancel(cancellable);
        clearAwaited();
        closeSession();
        if (portalWatch) g_bus_unwatch_name(portalWatch);
        g_object_unref(cancellable);
        if (bus) g_object_unref(bus);
    }

    WeakImpl* weak() { return new WeakImpl(weak_from_this()); }

    // "/org/freedesktop/portal/desktop/request/1_42/<token>" for the unique name ":1.42".
    std::string requestPath(const std::string& token) const {
        std::string sender = g_dbus_connection_get_unique_name(bus) + 1;
        for (char& c : sender)
            if (c == '.') c = '_';
        return std::string(kPortalPath) + "/request/" + sender + "/" + token;
    }

    void clearAwaited() {
        if (awaited.subscription) g_dbus_connection_signal_unsubscribe(bus, awaited.subscription);
        if (awaited.timer) {
            g_source_destroy(awaited.timer);
            g_source_unref(awaited.timer);
        }
        awaited = {};
    }

    void finishRequest(Result<GVariant*> result) {
        auto then = std::move(awaited.then);
        clearAwaited();
        if (then) then(std::move(result));
    }

    void subscribeResponse(const std::string& path) {
        if (awaited.subscription) g_dbus_connection_signal_unsubscribe(bus, awaited.subscription);
        awaited.path = path;
        awaited.subscription = g_dbus_connection_signal_subscribe(
            bus, kPortalName, "org.freedesktop.portal.Request", "Response", path.c_str(), nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE, &Impl::onResponse, weak(), deleteWeak);
    }

    // Calls `method` on the ScreenCast interface and waits for its Request's Response. The
    // Response is subscribed to before the call, on the path the portal will use for our
    // handle_token, so an early answer is not missed; `args` must carry that token.
    void request(const char* method, const std::string& token, GVariant* args,
                 std::function<void(Result<GVariant*>)> then) {
        awaited.method = method;
        awaited.then = std::move(then);
        subscribeResponse(requestPath(token));
        awaited.timer = g_timeout_source_new(static_cast<guint>(options.timeout.count()));
        g_source_set_callback(awaited.timer, &Impl::onTimeout, weak(), deleteWeak);
        g_source_attach(awaited.timer, g_main_context_get_thread_default());
        g_dbus_connection_call(bus, kPortalName, kPortalPath, kScreenCast, method, args,
                               G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE,
                               static_cast<int>(options.timeout.count()), cancellable,
                               &Impl::onRequestCalled, weak());
    }

    static void onRequestCalled(GObject* source, GAsyncResult* res, gpointer data) {
        std::unique_ptr<WeakImpl> weak(static_cast<WeakImpl*>(data));
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, &error);
        auto self = weak->lock();
        if (!self || !self->awaited.then) {
            if (reply) g_variant_unref(reply);
            g_clear_error(&error);
            return;
        }
        if (!reply) {
            self->finishRequest(fail("The screen-cast portal refused " + self->awaited.method +
                                     ": " + portal::takeMessage(error)));
            return;
        }
        const char* path = nullptr;
        g_variant_get(reply, "(&o)", &path);
        // Portals older than the handle_token convention answer on a path of their own.
        if (path && self->awaited.path != path) self->subscribeResponse(path);
        g_variant_unref(reply);
    }

    static void onResponse(GDBusConnection*, const char*, const char*, const char*, const char*,
                           GVariant* params, gpointer data) {
        auto self = static_cast<WeakImpl*>(data)->lock();
        if (!self || !self->awaited.then) return;
        std::uint32_t code = 2;
        GVariant* results = nullptr;
        g_variant_get(params, "(u@a{sv})", &code, &results);
        if (code == 0) {
            self->finishRequest(results);
        } else if (code == 1) {
            self->finishRequest(fail("The screen selection was cancelled.", ErrorCode::cancelled));
        } else {
            self->finishRequest(
                fail("The screen-cast portal could not " + self->awaited.method + "."));
        }
        g_variant_unref(results);
    }

    static gboolean onTimeout(gpointer data) {
        auto self = static_cast<WeakImpl*>(data)->lock();
        if (self && self->awaited.then) {
            // Tell the portal we stopped waiting, so a dialog does not linger.
            g_dbus_connection_call(self->bus, kPortalName, self->awaited.path.c_str(),
                                   "org.freedesktop.portal.Request", "Close", nullptr, nullptr,
                                   G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
            g_source_unref(self->awaited.timer);
            self->awaited.timer = nullptr;  // destroyed by returning G_SOURCE_REMOVE
            self->finishRequest(fail("The screen-cast portal did not answer " +
                                     self->awaited.method + " in time."));
        }
        return G_SOURCE_REMOVE;
    }

    void watchSession() {
        closedSubscription = g_dbus_connection_signal_subscribe(
            bus, kPortalName, "org.freedesktop.portal.Session", "Closed", sessionPath.c_str(),
            nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const char*, const char*, const char*, const char*, GVariant*,
               gpointer data) {
                if (auto self = static_cast<WeakImpl*>(data)->lock()) self->sessionEnded();
            },
            weak(), deleteWeak);
        // A portal that goes away takes its sessions with it, without a Closed signal.
        portalWatch = g_bus_watch_name_on_connection_with_closures(
            bus, kPortalName, G_BUS_NAME_WATCHER_FLAGS_NONE, nullptr,
            g_cclosure_new(G_CALLBACK(+[](GDBusConnection*, const char*, gpointer data) {
                               if (auto self = static_cast<WeakImpl*>(data)->lock())
                                   self->sessionEnded();
                           }),
                           weak(), [](gpointer data, GClosure*) { deleteWeak(data); }));
    }

    void sessionEnded() {
        if (!sessionOpen) return;
        sessionOpen = false;
        if (awaited.then) finishRequest(fail("The screen-cast session was closed."));
        if (auto handler = std::move(closedHandler)) handler();
    }

    void closeSession() {
        if (closedSubscription) g_dbus_connection_signal_unsubscribe(bus, closedSubscription);
        closedSubscription = 0;
        if (sessionOpen) {
            g_dbus_connection_call(bus, kPortalName, sessionPath.c_str(),
                                   "org.freedesktop.portal.Session", "Close", nullptr, nullptr,
                                   G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
        }
        sessionOpen = false;
    }

    // --- the steps of start(), each continuing with the next ---

    void readProperties(std::function<void(Result<PortalScreenCastStarted>)> done) {
        auto* step = new std::pair<WeakImpl, decltype(done)>(weak_from_this(), std::move(done));
        g_dbus_connection_call(
            bus, kPortalName, kPortalPath, "org.freedesktop.DBus.Properties", "GetAll",
            g_variant_new("(s)", kScreenCast), G_VARIANT_TYPE("(a{sv})"), G_DBUS_CALL_FLAGS_NONE,
            static_cast<int>(options.timeout.count()), cancellable,
            [](GObject* source, GAsyncResult* res, gpointer data) {
                std::unique_ptr<std::pair<WeakImpl, decltype(done)>> step(
                    static_cast<std::pair<WeakImpl, decltype(done)>*>(data));
                GError* error = nullptr;
                GVariant* reply =
                    g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, &error);
                auto self = step->first.lock();
                if (!self || g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
                    if (reply) g_variant_unref(reply);
                    g_clear_error(&error);
                    return;
                }
                if (!reply) {
                    step->second(fail("No screen-cast portal answers on this desktop: " +
                                      portal::takeMessage(error)));
                    return;
                }
                GVariant* props = g_variant_get_child_value(reply, 0);
                self->version = lookupUint(props, "version", 1);
                self->availableTypes = lookupUint(props, "AvailableSourceTypes", kSourceMonitor);
                self->availableCursorModes = lookupUint(props, "AvailableCursorModes", 0);
                g_variant_unref(props);
                g_variant_unref(reply);
                self->createSession(std::move(step->second));
            },
            step);
    }

    void createSession(std::function<void(Result<PortalScreenCastStarted>)> done) {
        std::string token = portal::newToken("marlune_");
        GVariantBuilder opts;
        g_variant_builder_init(&opts, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&opts, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
        g_variant_builder_add(&opts, "{sv}", "session_handle_token",
                              g_variant_new_string(portal::newToken("marlune_").c_str()));
        request("CreateSession", token, g_variant_new("(a{sv})", &opts),
                [this, done = std::move(done)](Result<GVariant*> results) mutable {
                    if (!results) return done(std::unexpected(results.error()));
                    // The portal documents a string here; some send an object path.
                    const char* path = nullptr;
                    if (!g_variant_lookup(*results, "session_handle", "&s", &path))
                        g_variant_lookup(*results, "session_handle", "&o", &path);
                    if (!path) return done(fail("The screen-cast portal opened no session."));
                    sessionPath = path;
                    sessionOpen = true;
                    watchSession();
                    selectSources(std::move(done));
                });
    }

    void selectSources(std::function<void(Result<PortalScreenCastStarted>)> done) {
        std::uint32_t types = options.types & availableTypes;
        if (!types) return done(fail("The screen-cast portal offers no such source."));
        cursorMode =
            (availableCursorModes & 4) ? PortalCursorMode::metadata : PortalCursorMode::embedded;
        std::string token = portal::newToken("marlune_");
        GVariantBuilder opts;
        g_variant_builder_init(&opts, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&opts, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
        g_variant_builder_add(&opts, "{sv}", "types", g_variant_new_uint32(types));
        g_variant_builder_add(&opts, "{sv}", "multiple", g_variant_new_boolean(FALSE));
        // Version 1 portals know no cursor modes; they always draw the cursor in.
        if (version >= 2 && (availableCursorModes & static_cast<std::uint32_t>(cursorMode))) {
            g_variant_builder_add(&opts, "{sv}", "cursor_mode",
                                  g_variant_new_uint32(static_cast<std::uint32_t>(cursorMode)));
        }
        if (version >= 4) {
            g_variant_builder_add(&opts, "{sv}", "persist_mode", g_variant_new_uint32(2));
            if (!options.restoreToken.empty()) {
                g_variant_builder_add(&opts, "{sv}", "restore_token",
                                      g_variant_new_string(options.restoreToken.c_str()));
            }
        }
        request("SelectSources", token, g_variant_new("(oa{sv})", sessionPath.c_str(), &opts),
                [this, done = std::move(done)](Result<GVariant*> results) mutable {
                    if (!results) return done(std::unexpected(results.error()));
                    startSession(std::move(done));
                });
    }

    void startSession(std::function<void(Result<PortalScreenCastStarted>)> done) {
        std::string token = portal::newToken("marlune_");
        GVariantBuilder opts;
        g_variant_builder_init(&opts, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&opts, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
        request("Start", token, g_variant_new("(osa{sv})", sessionPath.c_str(), "", &opts),
                [this, done = std::move(done)](Result<GVariant*> results) mutable {
                    if (!results) return done(std::unexpected(results.error()));
                    done(parseStarted(*results));
                });
    }

    Result<PortalScreenCastStarted> parseStarted(GVariant* results) const {
        PortalScreenCastStarted started;
        started.cursorMode = cursorMode;
        const char* token = nullptr;
        if (g_variant_lookup(results, "restore_token", "&s", &token)) started.restoreToken = token;
        GVariant* streams = g_variant_lookup_value(results, "streams", G_VARIANT_TYPE("a(ua{sv})"));
        if (streams) {
            GVariantIter iter;
            g_variant_iter_init(&iter, streams);
            std::uint32_t node = 0;
            GVariant* props = nullptr;
            while (g_variant_iter_next(&iter, "(u@a{sv})", &node, &props)) {
                PortalStream stream;
                stream.nodeId = node;
                stream.sourceType = lookupUint(props, "source_type", 0);
                g_variant_lookup(props, "position", "(ii)", &stream.area.x, &stream.area.y);
                g_variant_lookup(props, "size", "(ii)", &stream.area.width, &stream.area.height);
                started.streams.push_back(stream);
                g_variant_unref(props);
            }
            g_variant_unref(streams);
        }
        if (started.streams.empty()) return fail("The screen-cast portal granted no stream.");
        return started;
    }
};

PortalScreenCast::PortalScreenCast() : impl_(std::make_shared<Impl>()) {}

PortalScreenCast::~PortalScreenCast() = default;

void PortalScreenCast::start(const PortalScreenCastOptions& options,
                             std::function<void(Result<PortalScreenCastStarted>)> done) {
    impl_->options = options;
    GError* error = nullptr;
    impl_->bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!impl_->bus) {
        // Completions never run inside the call that started them.
        std::string text = "No session bus: " + portal::takeMessage(error);
        g_idle_add_full(
            G_PRIORITY_DEFAULT,
            [](gpointer data) {
                auto* pending = static_cast<std::pair<std::string, decltype(done)>*>(data);
                pending->second(fail(pending->first));
                return G_SOURCE_REMOVE;
            },
            new std::pair<std::string, decltype(done)>(std::move(text), std::move(done)),
            [](gpointer data) {
                delete static_cast<std::pair<std::string, decltype(done)>*>(data);
            });
        return;
    }
    impl_->readProperties(std::move(done));
}

void PortalScreenCast::openPipeWireRemote(std::function<void(Result<int>)> done) {
    using Pending = std::pair<WeakImpl, decltype(done)>;
    GVariantBuilder opts;
    g_variant_builder_init(&opts, G_VARIANT_TYPE_VARDICT);
    g_dbus_connection_call_with_unix_fd_list(
        impl_->bus, kPortalName, kPortalPath, kScreenCast, "OpenPipeWireRemote",
        g_variant_new("(oa{sv})", impl_->sessionPath.c_str(), &opts), G_VARIANT_TYPE("(h)"),
        G_DBUS_CALL_FLAGS_NONE, static_cast<int>(impl_->options.timeout.count()), nullptr,
        impl_->cancellable,
        [](GObject* source, GAsyncResult* res, gpointer data) {
            std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
            GUnixFDList* fds = nullptr;
            GError* error = nullptr;
            GVariant* reply = g_dbus_connection_call_with_unix_fd_list_finish(
                G_DBUS_CONNECTION(source), &fds, res, &error);
            int fd = -1;
            if (reply) {
                gint32 index = -1;
                g_variant_get(reply, "(h)", &index);
                fd = fds ? g_unix_fd_list_get(fds, index, &error) : -1;
                g_variant_unref(reply);
            }
            if (fds) g_object_unref(fds);
            // Dropped once the object is gone or closed (close() cancels the call).
            if (!pending->first.lock() ||
                g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
                if (fd >= 0) ::close(fd);
                g_clear_error(&error);
                return;
            }
            if (fd < 0) {
                pending->second(fail("The screen-cast portal gave no PipeWire connection: " +
                                     portal::takeMessage(error)));
                return;
            }
            pending->second(fd);
        },
        new Pending(impl_, std::move(done)));
}

void PortalScreenCast::setClosedHandler(std::function<void()> handler) {
    impl_->closedHandler = std::move(handler);
}

void PortalScreenCast::close() {
    g_cancellable_cancel(impl_->cancellable);
    impl_->clearAwaited();
    impl_->closeSession();
}

}  // namespace marlune::wayland
