#include "app/desktop_host.h"

#include <csignal>
#include <memory>
#include <vector>

#include <glib-unix.h>
#include <gtk/gtk.h>

#include "app/app_delegate.h"
#include "app/desktop_integration.h"
#include "app/main_window_controller.h"
#include "app/web_rendering.h"

namespace marlune {

namespace {

// The application's icon in the desktop's icon theme (installed with the program).
constexpr const char* kIconName = "app.marlune.studio";

struct Desktop {
    std::shared_ptr<AppDelegate> app;
    GtkApplication* gtkApp = nullptr;
    bool launched = false;
    bool terminating = false;

    void terminate() {
        if (terminating) return;
        terminating = true;
        app->applicationShouldTerminate(
            [gtkApp = gtkApp] { g_application_quit(G_APPLICATION(gtkApp)); });
    }

    GtkWindow* mainWindow() const {
        return app->windowController ? app->windowController->window() : nullptr;
    }
};

// One section per group of the menu; shortcuts are shown beside their items.
GMenuModel* buildMainMenu() {
    struct Item {
        const char* label;
        const char* action;
        const char* accel;
    };
    const std::vector<std::vector<Item>> sections = {
        {{"About Marlune Studio", "app.about", nullptr}},
        {{"Reload UI", "app.reload", "<Control>r"}},
        {{"Quit Marlune Studio", "app.quit", "<Control>q"}},
    };
    GMenu* menu = g_menu_new();
    for (const auto& items : sections) {
        GMenu* section = g_menu_new();
        for (const Item& item : items) {
            GMenuItem* entry = g_menu_item_new(item.label, item.action);
            if (item.accel) g_menu_item_set_attribute(entry, "accel", "s", item.accel);
            g_menu_append_item(section, entry);
            g_object_unref(entry);
        }
        g_menu_append_section(menu, nullptr, G_MENU_MODEL(section));
        g_object_unref(section);
    }
    return G_MENU_MODEL(menu);
}

struct ActionEntry {
    Desktop* desktop;
    void (*run)(Desktop&);
};

void addAction(Desktop* desktop, const char* name, void (*run)(Desktop&)) {
    GSimpleAction* action = g_simple_action_new(name, nullptr);
    g_signal_connect_data(
        action, "activate", G_CALLBACK(+[](GSimpleAction*, GVariant*, gpointer data) {
            auto* entry = static_cast<ActionEntry*>(data);
            entry->run(*entry->desktop);
        }),
        new ActionEntry{desktop, run},
        [](gpointer p, GClosure*) { delete static_cast<ActionEntry*>(p); }, GConnectFlags(0));
    g_action_map_add_action(G_ACTION_MAP(desktop->gtkApp), G_ACTION(action));
    g_object_unref(action);
}

void showAbout(Desktop& d) {
    gtk_show_about_dialog(d.mainWindow(), "program-name", "Marlune Studio", "version",
                          AppDelegate::version().c_str(), "comments",
                          "Screen recordings made into polished demos and tutorials.",
                          "logo-icon-name", kIconName, nullptr);
}

void onStartup(GApplication* application, gpointer data) {
    auto* d = static_cast<Desktop*>(data);
    addApplicationIconPath();
    gtk_window_set_default_icon_name(kIconName);
    addAction(d, "about", showAbout);
    addAction(d, "reload", [](Desktop& d) { d.app->reloadUI(); });
    addAction(d, "quit", [](Desktop& d) { d.terminate(); });
    addAction(d, "minimize", [](Desktop& d) {
        if (GtkWindow* w = d.mainWindow()) gtk_window_iconify(w);
    });
    auto* gtkApp = GTK_APPLICATION(application);
    const char* quit[] = {"<Control>q", nullptr};
    const char* reload[] = {"<Control>r", nullptr};
    const char* minimize[] = {"<Control>m", nullptr};
    gtk_application_set_accels_for_action(gtkApp, "app.quit", quit);
    gtk_application_set_accels_for_action(gtkApp, "app.reload", reload);
    gtk_application_set_accels_for_action(gtkApp, "app.minimize", minimize);
}

void onActivate(GApplication*, gpointer data) {
    auto* d = static_cast<Desktop*>(data);
    if (d->launched) {
        d->app->showMainWindow();
        return;
    }
    d->launched = true;
    d->app->applicationDidFinishLaunching([d](MainWindowController& window) {
        gtk_window_set_application(window.window(), d->gtkApp);
        GMenuModel* menu = buildMainMenu();
        window.setMainMenu(menu);
        g_object_unref(menu);
        window.onClosed = [d] {
            if (d->app->applicationShouldTerminateAfterLastWindowClosed()) d->terminate();
        };
    });
}

gboolean onSignal(gpointer data) {
    static_cast<Desktop*>(data)->terminate();
    return G_SOURCE_CONTINUE;
}

}  // namespace

int runDesktop(const std::vector<std::string>& args) {
    chooseWebRendering();
    g_set_prgname("marlune");
    g_set_application_name("Marlune Studio");
    Desktop desktop;
    // Every service exists before the event loop runs.
    desktop.app = AppDelegate::create(args);
    // The page starts loading (its web process starting) while the toolkit's application
    // registers and the window is set up around it.
    if (gtk_init_check(nullptr, nullptr)) desktop.app->prepareMainWindow();
    desktop.app->terminate = [&desktop] { desktop.terminate(); };
    // Not unique: each run is its own instance (tests run several side by side).
    desktop.gtkApp = gtk_application_new("app.marlune.studio", G_APPLICATION_NON_UNIQUE);
    g_signal_connect(desktop.gtkApp, "startup", G_CALLBACK(onStartup), &desktop);
    g_signal_connect(desktop.gtkApp, "activate", G_CALLBACK(onActivate), &desktop);
    guint sigint = g_unix_signal_add(SIGINT, onSignal, &desktop);
    guint sigterm = g_unix_signal_add(SIGTERM, onSignal, &desktop);

    // Our own arguments are read by the application object; the toolkit gets none of them.
    char programName[] = "marlune";
    char* argv[] = {programName, nullptr};
    int status = g_application_run(G_APPLICATION(desktop.gtkApp), 1, argv);

    g_source_remove(sigint);
    g_source_remove(sigterm);
    desktop.app.reset();
    g_object_unref(desktop.gtkApp);
    return status;
}

}  // namespace marlune
