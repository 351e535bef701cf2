#pragma once

// A tray owning the StatusNotifierWatcher's name on the session bus, seeing our item as a tray.

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/main_loop.h"

namespace marlune::test {

inline constexpr const char* kWatcherXml = R"(
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
</node>)";

// A tray as a tray sees the item: on a connection of its own, it owns the StatusNotifierWatcher's
// name, remembers who registered, reads the item's properties and drives its
// com.canonical.dbusmenu.
class FakeTray {
  public:
    FakeTray() {
        GError* error = nullptr;
        gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
        EXPECT_TRUE(address) << (error ? error->message : "");
        connection_ = g_dbus_connection_new_for_address_sync(
            address,
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        g_free(address);
        EXPECT_TRUE(connection_) << (error ? error->message : "");
        node_ = g_dbus_node_info_new_for_xml(kWatcherXml, nullptr);
        static const GDBusInterfaceVTable vtable = {
            &FakeTray::onCall, &FakeTray::onGet, nullptr, {}};
        g_dbus_connection_register_object(connection_, "/StatusNotifierWatcher",
                                          node_->interfaces[0], &vtable, this, nullptr, nullptr);
        GVariant* owned = g_dbus_connection_call_sync(
            connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "RequestName", g_variant_new("(su)", "org.kde.StatusNotifierWatcher", 4u),
            G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        guint answer = 0;
        if (owned) {
            g_variant_get(owned, "(u)", &answer);
            g_variant_unref(owned);
        }
        EXPECT_EQ(answer, 1u) << "someone else owns the watcher's name";
    }
    ~FakeTray() {
        g_dbus_connection_close_sync(connection_, nullptr, nullptr);
        g_object_unref(connection_);
        g_dbus_node_info_unref(node_);
    }

    struct Item {
        std::string busName;
        std::string path;
    };
    std::vector<Item> items;

    // A text property of the registered item; "<unreadable>" once the item is gone.
    std::string stringProperty(const Item& item, const char* name) {
        GVariant* reply = call(item.busName, item.path, "org.freedesktop.DBus.Properties", "Get",
                               g_variant_new("(ss)", "org.kde.StatusNotifierItem", name));
        if (!reply) return "<unreadable>";
        GVariant* v = nullptr;
        g_variant_get(reply, "(v)", &v);
        std::string s = g_variant_is_of_type(v, G_VARIANT_TYPE_STRING) ||
                                g_variant_is_of_type(v, G_VARIANT_TYPE_OBJECT_PATH)
                            ? g_variant_get_string(v, nullptr)
                            : "<not a string>";
        g_variant_unref(v);
        g_variant_unref(reply);
        return s;
    }

    struct Entry {
        int id = 0;
        std::string label;
        bool separator = false;
    };
    // The menu's top-level entries, in order.
    std::vector<Entry> menu(const Item& item) {
        std::vector<Entry> entries;
        GVariant* reply =
            call(item.busName, stringProperty(item, "Menu"), "com.canonical.dbusmenu", "GetLayout",
                 g_variant_new("(ii@as)", 0, -1, g_variant_new_strv(nullptr, 0)));
        if (!reply) return entries;
        GVariantIter* children = nullptr;
        g_variant_get(reply, "(u(ia{sv}av))", nullptr, nullptr, nullptr, &children);
        for (GVariant* child; g_variant_iter_next(children, "v", &child);) {
            Entry e;
            GVariant* props = nullptr;
            g_variant_get(child, "(i@a{sv}@av)", &e.id, &props, nullptr);
            const char* text = nullptr;
            if (g_variant_lookup(props, "label", "&s", &text)) e.label = text;
            const char* type = nullptr;
            e.separator =
                g_variant_lookup(props, "type", "&s", &type) && std::string(type) == "separator";
            gboolean visible = TRUE;
            g_variant_lookup(props, "visible", "b", &visible);
            if (visible) entries.push_back(e);
            g_variant_unref(props);
            g_variant_unref(child);
        }
        g_variant_iter_free(children);
        g_variant_unref(reply);
        return entries;
    }
    // Clicks the menu entry titled `label`, as the tray does when the user picks it.
    bool click(const Item& item, const std::string& label) {
        for (const auto& e : menu(item)) {
            if (e.label != label) continue;
            GVariant* r =
                call(item.busName, stringProperty(item, "Menu"), "com.canonical.dbusmenu", "Event",
                     g_variant_new("(isvu)", e.id, "clicked", g_variant_new_int32(0), 0u));
            if (r) g_variant_unref(r);
            return true;
        }
        return false;
    }

  private:
    // Calls on the main context (the item answers from it), waiting for the reply.
    GVariant* call(const std::string& dest, const std::string& path, const char* interface,
                   const char* method, GVariant* args) {
        struct Pending {
            bool done = false;
            GVariant* reply = nullptr;
        } pending;
        g_dbus_connection_call(
            connection_, dest.c_str(), path.c_str(), interface, method, args, nullptr,
            G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
            +[](GObject* source, GAsyncResult* result, gpointer data) {
                auto* p = static_cast<Pending*>(data);
                p->reply =
                    g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
                p->done = true;
            },
            &pending);
        runMainUntil([&] { return pending.done; }, std::chrono::seconds(6));
        return pending.reply;
    }

    static void onCall(GDBusConnection*, const gchar* sender, const gchar*, const gchar*,
                       const gchar* method, GVariant* params, GDBusMethodInvocation* invocation,
                       gpointer data) {
        auto* self = static_cast<FakeTray*>(data);
        const char* service = nullptr;
        g_variant_get(params, "(&s)", &service);
        if (std::string(method) == "RegisterStatusNotifierItem") {
            // Either a bus name or an object path on the caller's connection.
            std::string s = service;
            self->items.push_back(s.starts_with("/") ? Item{sender, s}
                                                     : Item{s, "/StatusNotifierItem"});
        }
        g_dbus_method_invocation_return_value(invocation, nullptr);
    }

    static GVariant* onGet(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                           const gchar* property, GError**, gpointer data) {
        auto* self = static_cast<FakeTray*>(data);
        std::string name = property;
        if (name == "IsStatusNotifierHostRegistered") return g_variant_new_boolean(TRUE);
        if (name == "ProtocolVersion") return g_variant_new_int32(0);
        GVariantBuilder b;
        g_variant_builder_init(&b, G_VARIANT_TYPE("as"));
        for (const auto& i : self->items) g_variant_builder_add(&b, "s", i.path.c_str());
        return g_variant_builder_end(&b);
    }

    GDBusConnection* connection_ = nullptr;
    GDBusNodeInfo* node_ = nullptr;
};

}  // namespace marlune::test
