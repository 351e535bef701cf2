#include "platform/desktop/atspi_caret.h"

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <gio/gio.h>
#include <glib.h>

#include <atspi/atspi-constants.h>

#include "platform/desktop/accessibility.h"

namespace marlune::atspi {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kRegistry = "org.a11y.atspi.Registry";
constexpr const char* kDesktopPath = "/org/a11y/atspi/accessible/root";
constexpr const char* kRegistryPath = "/org/a11y/atspi/registry";
constexpr const char* kAccessible = "org.a11y.atspi.Accessible";
constexpr const char* kText = "org.a11y.atspi.Text";
constexpr const char* kCollection = "org.a11y.atspi.Collection";
constexpr const char* kFocusEvent = "object:state-changed:focused";

// How long an application that let a call time out is left alone.
constexpr auto kHungPause = std::chrono::seconds(3);
// How often the active window may be searched while no focused object is known.
constexpr auto kSearchInterval = std::chrono::seconds(1);
// Bounds of the fallback walk for applications without the collection interface.
constexpr int kWalkNodes = 400;
constexpr int kWalkDepth = 32;

struct ObjectRef {
    std::string bus;
    std::string path;
    bool operator==(const ObjectRef&) const = default;
};

struct VariantDeleter {
    void operator()(GVariant* v) const { g_variant_unref(v); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantDeleter>;

// A state set arrives as two 32-bit words of bits indexed by AtspiStateType.
bool hasState(GVariant* reply, AtspiStateType state) {
    GVariant* words = g_variant_get_child_value(reply, 0);
    gsize n = 0;
    const auto* bits = static_cast<const guint32*>(g_variant_get_fixed_array(words, &n, 4));
    bool set = static_cast<gsize>(state / 32) < n && (bits[state / 32] >> (state % 32)) & 1u;
    g_variant_unref(words);
    return set;
}

std::vector<ObjectRef> objectList(GVariant* reply) {
    std::vector<ObjectRef> out;
    GVariantIter* iter = nullptr;
    g_variant_get(reply, "(a(so))", &iter);
    const char* bus = nullptr;
    const char* path = nullptr;
    while (g_variant_iter_next(iter, "(&s&o)", &bus, &path)) out.push_back({bus, path});
    g_variant_iter_free(iter);
    return out;
}

}  // namespace

bool accessibilityEnabled(std::chrono::milliseconds timeout) {
    return desktop::accessibilityEnabled(timeout).value_or(false);
}

struct FocusedText::Impl {
    GDBusConnection* bus = nullptr;
    guint focusSubscription = 0;
    bool registered = false;
    gint timeoutMs = 250;

    std::optional<ObjectRef> focused;
    bool focusedIsText = true;  // until an attempt to read its caret says otherwise
    std::optional<Clock::time_point> lastSearch;
    std::map<std::string, Clock::time_point> hungUntil;  // by application bus name

    ~Impl() {
        if (!bus) return;
        if (focusSubscription) g_dbus_connection_signal_unsubscribe(bus, focusSubscription);
        if (registered) {
            // Tells applications they may stop sending focus notices on our account.
            VariantPtr r(call(kRegistry, kRegistryPath, "org.a11y.atspi.Registry",
                              "DeregisterEvent", g_variant_new("(ss)", kFocusEvent, ""), nullptr));
        }
        g_dbus_connection_close_sync(bus, nullptr, nullptr);
        g_object_unref(bus);
    }

    bool isHung(const std::string& app) {
        auto it = hungUntil.find(app);
        if (it == hungUntil.end()) return false;
        if (Clock::now() < it->second) return true;
        hungUntil.erase(it);
        return false;
    }

    // One method call with the time limit; nothing on any failure. A time-out marks the
    // application as hung.
    GVariant* call(const std::string& dest, const std::string& path, const char* iface,
                   const char* method, GVariant* args, const GVariantType* replyType) {
        if (isHung(dest)) {
            if (args) g_variant_unref(g_variant_ref_sink(args));
            return nullptr;
        }
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(
            bus, dest.c_str(), path.c_str(), iface, method, args, replyType,
            G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMs, nullptr, &error);
        if (error) {
            if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT)) {
                hungUntil[dest] = Clock::now() + kHungPause;
            }
            g_error_free(error);
        }
        return reply;
    }

    std::optional<bool> stateOf(const ObjectRef& o, AtspiStateType state) {
        VariantPtr r(call(o.bus, o.path, kAccessible, "GetState", nullptr, G_VARIANT_TYPE("(au)")));
        if (!r) return std::nullopt;
        return hasState(r.get(), state);
    }

    std::vector<ObjectRef> childrenOf(const ObjectRef& o) {
        VariantPtr r(
            call(o.bus, o.path, kAccessible, "GetChildren", nullptr, G_VARIANT_TYPE("(a(so))")));
        return r ? objectList(r.get()) : std::vector<ObjectRef>{};
    }

    // The focused descendant of `window` in one call, through the collection interface.
    std::optional<std::optional<ObjectRef>> focusedByCollection(const ObjectRef& window) {
        GVariantBuilder states;
        g_variant_builder_init(&states, G_VARIANT_TYPE("ai"));
        g_variant_builder_add(&states, "i", gint32(1u << ATSPI_STATE_FOCUSED));
        g_variant_builder_add(&states, "i", gint32(0));
        GVariant* rule =
            g_variant_new("(aiia{ss}iaiiasib)", &states, ATSPI_Collection_MATCH_ALL, nullptr,
                          ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_ALL, nullptr,
                          ATSPI_Collection_MATCH_ALL, FALSE);
        VariantPtr r(call(window.bus, window.path, kCollection, "GetMatches",
                          g_variant_new("(@(aiia{ss}iaiiasib)uib)", rule,
                                        guint32(ATSPI_Collection_SORT_ORDER_CANONICAL), 1, TRUE),
                          G_VARIANT_TYPE("(a(so))")));
        if (!r) return std::nullopt;  // no collection interface, or no answer
        auto found = objectList(r.get());
        if (found.empty()) return std::optional<ObjectRef>{};
        return std::optional<ObjectRef>{found.front()};
    }

    // The same, one object at a time, within fixed bounds.
    std::optional<ObjectRef> focusedByWalk(const ObjectRef& window) {
        std::vector<std::pair<ObjectRef, int>> stack{{window, 0}};
        int visited = 0;
        while (!stack.empty() && visited < kWalkNodes && !isHung(window.bus)) {
            auto [node, depth] = stack.back();
            stack.pop_back();
            ++visited;
            if (stateOf(node, ATSPI_STATE_FOCUSED).value_or(false)) return node;
            if (depth >= kWalkDepth) continue;
            auto children = childrenOf(node);
            for (auto it = children.rbegin(); it != children.rend(); ++it) {
                stack.push_back({*it, depth + 1});
            }
        }
        return std::nullopt;
    }

    // Looks for the focused object under the active window of every application.
    void searchFocus() {
        lastSearch = Clock::now();
        for (const auto& app : childrenOf({kRegistry, kDesktopPath})) {
            if (isHung(app.bus)) continue;
            for (const auto& window : childrenOf(app)) {
                if (!stateOf(window, ATSPI_STATE_ACTIVE).value_or(false)) continue;
                auto found = focusedByCollection(window);
                std::optional<ObjectRef> focus = found ? *found : focusedByWalk(window);
                if (focus) {
                    setFocus(*focus);
                    return;
                }
            }
        }
    }

    void setFocus(ObjectRef o) {
        focused = std::move(o);
        focusedIsText = true;
    }

    static void onStateChanged(GDBusConnection*, const gchar* sender, const gchar* path,
                               const gchar*, const gchar*, GVariant* params, gpointer data) {
        auto* self = static_cast<Impl*>(data);
        if (!g_variant_is_of_type(params, G_VARIANT_TYPE("(siiva{sv})")) &&
            !g_variant_is_of_type(params, G_VARIANT_TYPE("(siiv(so))"))) {
            return;
        }
        const char* kind = nullptr;
        gint32 gained = 0;
        g_variant_get_child(params, 0, "&s", &kind);
        g_variant_get_child(params, 1, "i", &gained);
        if (g_strcmp0(kind, "focused") != 0 || !sender || !path) return;
        ObjectRef o{sender, path};
        if (gained) {
            self->setFocus(std::move(o));
        } else if (self->focused == o) {
            self->focused.reset();
        }
    }

    std::optional<ScreenRect> caretCharacter() {
        if (!focused && (!lastSearch || Clock::now() - *lastSearch >= kSearchInterval)) {
            searchFocus();
        }
        if (!focused || !focusedIsText) return std::nullopt;
        const ObjectRef o = *focused;
        if (isHung(o.bus)) return std::nullopt;
        VariantPtr offsetReply(call(o.bus, o.path, "org.freedesktop.DBus.Properties", "Get",
                                    g_variant_new("(ss)", kText, "CaretOffset"),
                                    G_VARIANT_TYPE("(v)")));
        if (!offsetReply) {
            if (isHung(o.bus)) return std::nullopt;
            // Still there but not text: wait for the focus to move. Gone without a notice
            // (its window closed): look for the focus again.
            if (stateOf(o, ATSPI_STATE_FOCUSED)) {
                focusedIsText = false;
            } else {
                focused.reset();
            }
            return std::nullopt;
        }
        GVariant* value = nullptr;
        g_variant_get(offsetReply.get(), "(v)", &value);
        VariantPtr owned(value);
        if (!g_variant_is_of_type(value, G_VARIANT_TYPE_INT32)) return std::nullopt;
        gint32 offset = g_variant_get_int32(value);
        if (offset < 0) return std::nullopt;  // the object shows no caret
        VariantPtr extents(
            call(o.bus, o.path, kText, "GetCharacterExtents",
                 g_variant_new("(iu)", std::max(offset - 1, 0), guint32(ATSPI_COORD_TYPE_SCREEN)),
                 G_VARIANT_TYPE("(iiii)")));
        if (!extents) return std::nullopt;
        gint32 x = 0, y = 0, w = 0, h = 0;
        g_variant_get(extents.get(), "(iiii)", &x, &y, &w, &h);
        return ScreenRect{double(x), double(y), double(w), double(h)};
    }
};

FocusedText::FocusedText(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
FocusedText::~FocusedText() = default;

Result<std::unique_ptr<FocusedText>> FocusedText::connect(std::chrono::milliseconds callTimeout) {
    GError* error = nullptr;
    GDBusConnection* session = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!session) {
        std::string message = error ? error->message : "no session bus";
        g_clear_error(&error);
        return fail("Cannot reach the session bus: " + message);
    }
    GVariant* reply = g_dbus_connection_call_sync(
        session, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", nullptr,
        G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, &error);
    g_object_unref(session);
    if (!reply) {
        std::string message = error ? error->message : "no answer";
        g_clear_error(&error);
        return fail("Cannot find the accessibility bus: " + message);
    }
    const char* address = nullptr;
    g_variant_get(reply, "(&s)", &address);
    auto impl = std::make_unique<Impl>();
    impl->timeoutMs = static_cast<gint>(callTimeout.count());
    impl->bus = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    g_variant_unref(reply);
    if (!impl->bus) {
        std::string message = error ? error->message : "no connection";
        g_clear_error(&error);
        return fail("Cannot connect to the accessibility bus: " + message);
    }
    g_dbus_connection_set_exit_on_close(impl->bus, FALSE);
    // Notices are delivered through the thread-default main context of this thread.
    impl->focusSubscription = g_dbus_connection_signal_subscribe(
        impl->bus, nullptr, "org.a11y.atspi.Event.Object", "StateChanged", nullptr, "focused",
        G_DBUS_SIGNAL_FLAGS_NONE, &Impl::onStateChanged, impl.get(), nullptr);
    // Applications send focus notices only while someone has asked the registry for them.
    VariantPtr registered(impl->call(kRegistry, kRegistryPath, "org.a11y.atspi.Registry",
                                     "RegisterEvent",
                                     g_variant_new("(sass)", kFocusEvent, nullptr, ""), nullptr));
    impl->registered = registered != nullptr;
    impl->searchFocus();
    return std::unique_ptr<FocusedText>(new FocusedText(std::move(impl)));
}

std::optional<ScreenRect> FocusedText::caretCharacter() {
    return impl_->caretCharacter();
}

}  // namespace marlune::atspi
