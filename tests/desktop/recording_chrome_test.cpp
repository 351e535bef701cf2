// What surrounds a recording in the application launched on the desktop: the countdown overlay,
// the tray item as a tray sees it (a stand-in StatusNotifierWatcher on the session bus receives the
// item, reads its properties and drives its menu through com.canonical.dbusmenu), and the global
// hot key, which stops a recording in progress.

#include <gio/gio.h>

#include "app/status_item_controller.h"
#include "desktop_test.h"
#include "platform/desktop/x11_monitors.h"
#include "recording/recording_controller.h"
#include "screen_helpers.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;
using test::runMainFor;
using test::runMainUntil;
using Phase = RecordingController::Phase;

constexpr const char* kWatcherXml = R"(
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

// A tray on a connection of its own: it owns the watcher's name and remembers who registered.
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

    // A property of the registered item; nothing when it cannot be read (the item is gone).
    GVariant* property(const Item& item, const char* name) {
        GVariant* reply = call(item.busName, item.path, "org.freedesktop.DBus.Properties", "Get",
                               g_variant_new("(ss)", "org.kde.StatusNotifierItem", name));
        if (!reply) return nullptr;
        GVariant* value = nullptr;
        g_variant_get(reply, "(v)", &value);
        g_variant_unref(reply);
        return value;
    }
    std::string stringProperty(const Item& item, const char* name) {
        GVariant* v = property(item, name);
        if (!v) return "<unreadable>";
        std::string s = g_variant_is_of_type(v, G_VARIANT_TYPE_STRING) ||
                                g_variant_is_of_type(v, G_VARIANT_TYPE_OBJECT_PATH)
                            ? g_variant_get_string(v, nullptr)
                            : "<not a string>";
        g_variant_unref(v);
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
        GVariant* layout = g_variant_get_child_value(reply, 1);
        GVariant* children = g_variant_get_child_value(layout, 2);
        for (gsize i = 0; i < g_variant_n_children(children); ++i) {
            GVariant* boxed = g_variant_get_child_value(children, i);
            GVariant* child = g_variant_get_variant(boxed);
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
            g_variant_unref(boxed);
        }
        g_variant_unref(children);
        g_variant_unref(layout);
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

class RecordingChromeTest : public test::AppTest {
  protected:
    // Starts a display recording and waits until capture runs.
    void startRecording(const std::string& id) {
        auto monitors = x11::listMonitors();
        ASSERT_TRUE(monitors && !monitors->empty());
        const auto countdowns = events("countdown").size();
        send(id, "recording.start",
             {{"sourceKind", "display"},
              {"sourceID", monitors->front().id},
              {"mic", false},
              {"hideWindow", true}});
        ASSERT_TRUE(runMainUntil([&] { return events("countdown").size() > countdowns; }, 10s));
        // The countdown shows over the display, and lets everything through to it.
        EXPECT_TRUE(
            runMainUntil([&] { return !test::visibleWindowsOfType(GTK_TYPE_WINDOW).empty(); }, 2s));
        ASSERT_TRUE(replyTo(id, 20s));
        ASSERT_EQ((*page->reply(id))["ok"], true) << page->reply(id)->dump();
        EXPECT_TRUE(test::visibleWindowsOfType(GTK_TYPE_WINDOW).empty());
        EXPECT_EQ(app->recording->phase(), Phase::recording);
    }
    bool phaseIs(Phase phase) {
        return runMainUntil([&] { return app->recording->phase() == phase; });
    }
};

TEST_F(RecordingChromeTest, TheTrayItemAndTheHotKeyActOnTheRecording) {
    FakeTray tray;
    launchDesktop();
    EXPECT_TRUE(tray.items.empty()) << "no tray item while idle";
    startRecording("start");
    ASSERT_TRUE(runMainUntil([&] { return !tray.items.empty(); }, 5s))
        << "the item never registered with the tray";
    runMainFor(200ms);
    ASSERT_EQ(tray.items.size(), 1u);
    const auto entry = tray.items.front();
    EXPECT_EQ(tray.stringProperty(entry, "Status"), "Active");
    EXPECT_EQ(tray.stringProperty(entry, "IconName"), "marlune-recording");
    // The tray finds the icons in the folder the item names.
    std::filesystem::path icons = tray.stringProperty(entry, "IconThemePath");
    EXPECT_TRUE(std::filesystem::exists(icons / "marlune-recording.svg")) << icons;
    EXPECT_TRUE(std::filesystem::exists(icons / "marlune-paused.svg")) << icons;
    auto menu = tray.menu(entry);
    ASSERT_EQ(menu.size(), 4u);
    EXPECT_EQ(menu[0].label, "Pause");
    EXPECT_EQ(menu[1].label, "Stop Recording");
    EXPECT_TRUE(menu[2].separator);
    EXPECT_EQ(menu[3].label, "Show Marlune");
    EXPECT_FALSE(app->applicationShouldTerminateAfterLastWindowClosed());
    ASSERT_TRUE(
        runMainUntil([&] { return tray.stringProperty(entry, "XAyatanaLabel") == "00:01"; }, 5s))
        << tray.stringProperty(entry, "XAyatanaLabel");

    // The menu pauses (the time stands still), resumes, shows the window and stops.
    ASSERT_TRUE(tray.click(entry, "Pause"));
    ASSERT_TRUE(phaseIs(Phase::paused));
    ASSERT_TRUE(runMainUntil([&] {
        return tray.stringProperty(entry, "IconName") == "marlune-paused" &&
               tray.menu(entry).front().label == "Resume";
    }));
    const std::string frozen = tray.stringProperty(entry, "XAyatanaLabel");
    runMainFor(1200ms);
    EXPECT_EQ(tray.stringProperty(entry, "XAyatanaLabel"), frozen);
    ASSERT_TRUE(tray.click(entry, "Resume"));
    ASSERT_TRUE(phaseIs(Phase::recording));
    EXPECT_TRUE(runMainUntil([&] {
        return tray.stringProperty(entry, "IconName") == "marlune-recording" &&
               tray.menu(entry).front().label == "Pause";
    }));
    app->windowController->hideForRecording();
    ASSERT_TRUE(runMainUntil([&] { return !app->windowController->isVisible(); }));
    ASSERT_TRUE(tray.click(entry, "Show Marlune"));
    EXPECT_TRUE(runMainUntil([&] { return app->windowController->isVisible(); }));
    ASSERT_TRUE(tray.click(entry, "Stop Recording"));
    ASSERT_TRUE(runMainUntil([&] { return events("saved").size() == 1; }, 20s));
    // Hidden: gone from the bus, so from the tray.
    EXPECT_TRUE(runMainUntil([&] {
        GVariant* v = tray.property(entry, "Status");
        if (v) g_variant_unref(v);
        return v == nullptr;
    }));
    EXPECT_FALSE(app->statusItem->isShown());
    EXPECT_FALSE(app->isRecordingActive());
    EXPECT_TRUE(app->applicationShouldTerminateAfterLastWindowClosed());

    // The hot key stops a recording in progress rather than asking the page...
    const auto asked = events("hotkeyRecord").size();
    startRecording("again");
    runMainFor(1000ms);
    ASSERT_TRUE(test::run("xdotool key ctrl+shift+2"));
    ASSERT_TRUE(runMainUntil([&] { return events("saved").size() == 2; }, 20s));
    EXPECT_EQ(events("hotkeyRecord").size(), asked) << "a recording in progress is stopped";
    EXPECT_EQ(app->recording->phase(), Phase::idle);
    // ...and, idle again, asks the page to start one.
    ASSERT_TRUE(test::run("xdotool key ctrl+shift+2"));
    EXPECT_TRUE(runMainUntil([&] { return events("hotkeyRecord").size() == asked + 1; }));
}

}  // namespace
}  // namespace marlune
