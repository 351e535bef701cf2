#include "app/status_item_controller.h"

#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>

#include "app/desktop_integration.h"
#include "core/queue.h"

namespace marlune {

namespace {

// Without a tray host on the bus the indicator falls back to a GtkStatusIcon and, each time its
// icon changes, looks for its icon folder in the default icon theme's search path. That search
// runs past the end of the list when the folder is not in it yet (libayatana-appindicator 0.5),
// reading whatever memory follows until it meets a non-null word: a crash when nothing does.
// With the folder already in the list the search stops at it.
void addToIconSearchPath(const char* dir) {
    GtkIconTheme* theme = gtk_icon_theme_get_default();
    gchar** path = nullptr;
    gint count = 0;
    gtk_icon_theme_get_search_path(theme, &path, &count);
    bool present = false;
    for (gint i = 0; i < count && !present; ++i) present = g_strcmp0(path[i], dir) == 0;
    g_strfreev(path);
    if (!present) gtk_icon_theme_append_search_path(theme, dir);
}

// Whether a tray's StatusNotifierWatcher owns its name on the session bus.
bool trayWatcherOnBus() {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus) return false;
    GVariant* answer = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", "org.kde.StatusNotifierWatcher"),
        G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 500, nullptr, nullptr);
    g_object_unref(bus);
    if (!answer) return false;
    gboolean owned = FALSE;
    g_variant_get(answer, "(b)", &owned);
    g_variant_unref(answer);
    return owned;
}

}  // namespace

StatusItemController::~StatusItemController() {
    hide();
}

void StatusItemController::show() {
    MARLUNE_ASSERT_ON(Queue::main());
    if (shown_) return;
    shown_ = true;
    paused_ = false;
    rebuilds_ = 0;
    timeText_ = "00:00";
    if (ensureToolkit()) buildIndicator();
    applyState();
}

void StatusItemController::update(const std::string& timeText, bool paused) {
    MARLUNE_ASSERT_ON(Queue::main());
    if (!shown_) return;
    // Called twice a second: the tray hears only of real changes.
    if (timeText == timeText_ && paused == paused_) return;
    timeText_ = timeText;
    paused_ = paused;
    applyState();
}

void StatusItemController::hide() {
    MARLUNE_ASSERT_ON(Queue::main());
    if (!shown_) return;
    shown_ = false;
    dropIndicator();
}

void StatusItemController::dropIndicator() {
    if (registrationCheck_) g_source_remove(registrationCheck_);
    registrationCheck_ = 0;
    if (item_) {
        // Dropping the indicator takes it off the bus, and so out of the tray.
        g_object_unref(item_);
        item_ = nullptr;
    }
    if (menu_) {
        gtk_widget_destroy(menu_);
        g_object_unref(menu_);
        menu_ = nullptr;
        pauseMenuItem_ = nullptr;
    }
}

void StatusItemController::didTogglePause() {
    if (onTogglePause) onTogglePause();
}

void StatusItemController::didStop() {
    if (onStop) onStop();
}

void StatusItemController::didShowApp() {
    if (onShowApp) onShowApp();
}

void StatusItemController::buildIndicator() {
    auto iconDir = statusIconDir();
    if (iconDir) addToIconSearchPath(iconDir->c_str());
    // A rebuilt item takes a new identifier: the one it replaces may still hold its bus path.
    const std::string id =
        rebuilds_ == 0 ? kIndicatorId : std::string(kIndicatorId) + "-" + std::to_string(rebuilds_);
    item_ = app_indicator_new_with_path(id.c_str(), kRecordingIcon,
                                        APP_INDICATOR_CATEGORY_APPLICATION_STATUS,
                                        iconDir ? iconDir->c_str() : nullptr);
    app_indicator_set_title(item_, "Marlune Studio");
    // With no panel that hosts status items the library falls back to a GtkStatusIcon, which
    // needs an X11 tray: on Wayland it fails at every update. There the item waits for a panel.
    if (!GDK_IS_X11_DISPLAY(gdk_display_get_default()))
        APP_INDICATOR_GET_CLASS(item_)->fallback = nullptr;

    menu_ = gtk_menu_new();
    g_object_ref_sink(menu_);
    auto add = [this](const char* title, void (StatusItemController::*action)()) {
        GtkWidget* entry = gtk_menu_item_new_with_label(title);
        struct Action {
            StatusItemController* self;
            void (StatusItemController::*run)();
        };
        g_signal_connect_data(
            entry, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer data) {
                auto* a = static_cast<Action*>(data);
                (a->self->*a->run)();
            }),
            new Action{this, action}, [](gpointer p, GClosure*) { delete static_cast<Action*>(p); },
            GConnectFlags(0));
        gtk_menu_shell_append(GTK_MENU_SHELL(menu_), entry);
        return entry;
    };
    pauseMenuItem_ = add("Pause", &StatusItemController::didTogglePause);
    add("Stop Recording", &StatusItemController::didStop);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu_), gtk_separator_menu_item_new());
    add("Show Marlune", &StatusItemController::didShowApp);
    gtk_widget_show_all(menu_);
    app_indicator_set_menu(item_, GTK_MENU(menu_));
    app_indicator_set_status(item_, APP_INDICATOR_STATUS_ACTIVE);
    registrationCheck_ = g_timeout_add(1500, checkRegistration, this);
}

// libayatana-appindicator 0.5 asks the tray's watcher for the item as soon as it sees the watcher
// on the bus, through its own bus connection, which it may not have yet: then the item never
// reaches the tray (GLib warns "g_dbus_proxy_new: assertion 'G_IS_DBUS_CONNECTION (connection)'
// failed"), and the failed call keeps a reference to it, so it also keeps its bus path.
int StatusItemController::checkRegistration(void* data) {
    auto* self = static_cast<StatusItemController*>(data);
    self->registrationCheck_ = 0;
    gboolean connected = FALSE;
    g_object_get(self->item_, "connected", &connected, nullptr);
    if (connected || self->rebuilds_ >= 2 || !trayWatcherOnBus()) return G_SOURCE_REMOVE;
    ++self->rebuilds_;
    self->dropIndicator();
    self->buildIndicator();
    self->applyState();
    return G_SOURCE_REMOVE;
}

void StatusItemController::applyState() {
    if (!item_) return;
    app_indicator_set_icon_full(item_, paused_ ? kPausedIcon : kRecordingIcon,
                                paused_ ? "Recording paused" : "Recording");
    // The guide keeps the label's width steady as the digits change.
    app_indicator_set_label(item_, timeText_.c_str(), "00:00");
    gtk_menu_item_set_label(GTK_MENU_ITEM(pauseMenuItem_), pauseTitle().c_str());
}

}  // namespace marlune
