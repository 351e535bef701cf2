#include "platform/wayland/global_shortcuts.h"

#include <gio/gio.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string_view>

#include "platform/wayland/portal_common.h"

namespace marlune::wayland {
namespace {

constexpr const char* kPortalName = portal::kName;
constexpr const char* kPortalPath = portal::kPath;
constexpr const char* kShortcuts = "org.freedesktop.portal.GlobalShortcuts";

using WeakImpl = std::weak_ptr<GlobalShortcuts::Impl>;
void deleteWeak(gpointer data) {
    delete static_cast<WeakImpl*>(data);
}

}  // namespace

bool isWaylandSession() {
    const char* type = std::getenv("XDG_SESSION_TYPE");
    const char* display = std::getenv("WAYLAND_DISPLAY");
    std::string_view session = type ? type : "";
    return session == "wayland" || (display && *display && session != "x11");
}

bool globalShortcutsOffered(std::chrono::milliseconds timeout) {
    return portalOffers(kShortcuts, timeout);
}

bool screenCastOffered(std::chrono::milliseconds timeout) {
    return portalOffers("org.freedesktop.portal.ScreenCast", timeout);
}

bool portalOffers(const char* portalInterface, std::chrono::milliseconds timeout) {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus) return false;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, kPortalName, kPortalPath, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", portalInterface, "version"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NO_AUTO_START, static_cast<int>(timeout.count()), nullptr, nullptr);
    g_object_unref(bus);
    if (reply) g_variant_unref(reply);
    return reply != nullptr;
}

struct GlobalShortcuts::Impl : std::enable_shared_from_this<Impl> {
    GDBusConnection* bus = nullptr;
    GCancellable* cancellable = g_cancellable_new();
    GlobalShortcuts* owner = nullptr;
    std::chrono::milliseconds timeout{};
    std::string sessionPath;
    guint responseSubscription = 0;
    guint activatedSubscription = 0;
    GSource* timer = nullptr;
    // What the Response being waited for continues with.
    std::function<void(Result<GVariant*>)> then;
    std::string step;

    ~Impl() {
        g_cancellable_cancel(cancellable);
        clearWait();
        if (activatedSubscription) g_dbus_connection_signal_unsubscribe(bus, activatedSubscription);
        if (!sessionPath.empty()) {
            g_dbus_connection_call(bus, kPortalName, sessionPath.c_str(),
                                   "org.freedesktop.portal.Session", "Close", nullptr, nullptr,
                                   G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
        }
        g_object_unref(cancellable);
        if (bus) g_object_unref(bus);
    }

    void clearWait() {
        if (responseSubscription) g_dbus_connection_signal_unsubscribe(bus, responseSubscription);
        responseSubscription = 0;
        if (timer) {
            g_source_destroy(timer);
            g_source_unref(timer);
            timer = nullptr;
        }
    }

    void finish(Result<GVariant*> result) {
        auto next = std::move(then);
        then = nullptr;
        clearWait();
        if (next) next(std::move(result));
    }

    // Calls `method` and waits for its Request's Response, subscribed to before the call on the
    // path the portal derives from our handle_token (which `args` must carry).
    void request(const char* method, const std::string& token, GVariant* args,
                 std::function<void(Result<GVariant*>)> next) {
        step = method;
        then = std::move(next);
        std::string sender = g_dbus_connection_get_unique_name(bus) + 1;
        for (char& c : sender)
            if (c == '.') c = '_';
        std::string path = std::string(kPortalPath) + "/request/" + sender + "/" + token;
        responseSubscription = g_dbus_connection_signal_subscribe(
            bus, kPortalName, "org.freedesktop.portal.Request", "Response", path.c_str(), nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE, &Impl::onResponse, new WeakImpl(weak_from_this()),
            deleteWeak);
        timer = g_timeout_source_new(static_cast<guint>(timeout.count()));
        g_source_set_callback(
            timer,
            [](gpointer data) -> gboolean {
                if (auto self = static_cast<WeakImpl*>(data)->lock(); self && self->then) {
                    g_source_unref(self->timer);
                    self->timer = nullptr;  // destroyed by returning G_SOURCE_REMOVE
                    self->finish(fail("The global shortcuts portal did not answer " + self->step +
                                      " in time."));
                }
                return G_SOURCE_REMOVE;
            },
            new WeakImpl(weak_from_this()), deleteWeak);
        g_source_attach(timer, g_main_context_get_thread_default());
        g_dbus_connection_call(
            bus, kPortalName, kPortalPath, kShortcuts, method, args, G_VARIANT_TYPE("(o)"),
            G_DBUS_CALL_FLAGS_NONE, static_cast<int>(timeout.count()), cancellable,
            [](GObject* source, GAsyncResult* res, gpointer data) {
                std::unique_ptr<WeakImpl> weak(static_cast<WeakImpl*>(data));
                GError* error = nullptr;
                GVariant* reply =
                    g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, &error);
                if (reply) g_variant_unref(reply);
                auto self = weak->lock();
                if (!self || !self->then) return g_clear_error(&error);
                if (!reply) {
                    self->finish(fail("The desktop offers no global shortcuts (" +
                                      portal::takeMessage(error) + ")."));
                }
            },
            new WeakImpl(weak_from_this()));
    }

    static void onResponse(GDBusConnection*, const char*, const char*, const char*, const char*,
                           GVariant* params, gpointer data) {
        auto self = static_cast<WeakImpl*>(data)->lock();
        if (!self || !self->then) return;
        guint32 code = 2;
        GVariant* results = nullptr;
        g_variant_get(params, "(u@a{sv})", &code, &results);
        if (code == 0) {
            self->finish(results);
        } else if (code == 1) {
            self->finish(fail("The hot key was declined.", ErrorCode::cancelled));
        } else {
            self->finish(fail("The global shortcuts portal refused " + self->step + "."));
        }
        g_variant_unref(results);
    }

    static void onActivated(GDBusConnection*, const char*, const char*, const char*, const char*,
                            GVariant* params, gpointer data) {
        auto self = static_cast<WeakImpl*>(data)->lock();
        if (!self || !self->owner || !self->owner->onActivated) return;
        const char* session = nullptr;
        const char* id = nullptr;
        g_variant_get(params, "(&o&sta{sv})", &session, &id, nullptr, nullptr);
        if (self->sessionPath == session) self->owner->onActivated(id);
    }

    void bindShortcut(const Shortcut& shortcut, std::function<void(Result<std::string>)> done) {
        GVariantBuilder props;
        g_variant_builder_init(&props, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&props, "{sv}", "description",
                              g_variant_new_string(shortcut.description.c_str()));
        g_variant_builder_add(&props, "{sv}", "preferred_trigger",
                              g_variant_new_string(shortcut.preferredTrigger.c_str()));
        GVariantBuilder list;
        g_variant_builder_init(&list, G_VARIANT_TYPE("a(sa{sv})"));
        g_variant_builder_add(&list, "(sa{sv})", shortcut.id.c_str(), &props);
        std::string token = portal::newToken("marlune_keys_");
        GVariantBuilder opts;
        g_variant_builder_init(&opts, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&opts, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
        request("BindShortcuts", token,
                g_variant_new("(oa(sa{sv})sa{sv})", sessionPath.c_str(), &list, "", &opts),
                [id = shortcut.id, done = std::move(done)](Result<GVariant*> results) {
                    if (!results) return done(std::unexpected(results.error()));
                    // The shortcuts the desktop bound, each with how it describes its trigger.
                    std::string trigger;
                    bool bound = false;
                    GVariant* shortcuts =
                        g_variant_lookup_value(*results, "shortcuts", G_VARIANT_TYPE("a(sa{sv})"));
                    if (shortcuts) {
                        GVariantIter iter;
                        g_variant_iter_init(&iter, shortcuts);
                        const char* boundId = nullptr;
                        GVariant* props = nullptr;
                        while (g_variant_iter_next(&iter, "(&s@a{sv})", &boundId, &props)) {
                            const char* text = nullptr;
                            if (id == boundId) {
                                bound = true;
                                if (g_variant_lookup(props, "trigger_description", "&s", &text))
                                    trigger = text;
                            }
                            g_variant_unref(props);
                        }
                        g_variant_unref(shortcuts);
                    }
                    if (!bound) return done(fail("The desktop did not bind the hot key."));
                    done(trigger);
                });
    }
};

GlobalShortcuts::GlobalShortcuts() : impl_(std::make_shared<Impl>()) {
    impl_->owner = this;
}

GlobalShortcuts::~GlobalShortcuts() {
    impl_->owner = nullptr;
}

void GlobalShortcuts::bind(const Shortcut& shortcut, std::chrono::milliseconds timeout,
                           std::function<void(Result<std::string>)> done) {
    impl_->timeout = timeout;
    GError* error = nullptr;
    impl_->bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!impl_->bus) {
        // Never inside this call.
        auto* pending =
            new std::pair<std::string, decltype(done)>(portal::takeMessage(error), std::move(done));
        g_idle_add_full(
            G_PRIORITY_DEFAULT,
            [](gpointer data) {
                auto* p = static_cast<std::pair<std::string, decltype(done)>*>(data);
                p->second(fail("No session bus: " + p->first));
                return G_SOURCE_REMOVE;
            },
            pending,
            [](gpointer data) {
                delete static_cast<std::pair<std::string, decltype(done)>*>(data);
            });
        return;
    }
    std::string token = portal::newToken("marlune_keys_");
    GVariantBuilder opts;
    g_variant_builder_init(&opts, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&opts, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
    g_variant_builder_add(&opts, "{sv}", "session_handle_token",
                          g_variant_new_string(portal::newToken("marlune_keys_").c_str()));
    Impl* impl = impl_.get();
    impl->request("CreateSession", token, g_variant_new("(a{sv})", &opts),
                  [impl, shortcut, done = std::move(done)](Result<GVariant*> results) mutable {
                      if (!results) return done(std::unexpected(results.error()));
                      const char* path = nullptr;
                      if (!g_variant_lookup(*results, "session_handle", "&s", &path))
                          g_variant_lookup(*results, "session_handle", "&o", &path);
                      if (!path)
                          return done(fail("The global shortcuts portal opened no session."));
                      impl->sessionPath = path;
                      impl->activatedSubscription = g_dbus_connection_signal_subscribe(
                          impl->bus, kPortalName, kShortcuts, "Activated", kPortalPath, nullptr,
                          G_DBUS_SIGNAL_FLAGS_NONE, &Impl::onActivated,
                          new WeakImpl(impl->weak_from_this()), deleteWeak);
                      impl->bindShortcut(shortcut, std::move(done));
                  });
}

}  // namespace marlune::wayland
