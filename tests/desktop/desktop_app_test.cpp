// The desktop launch: bar and chrome, activation, hot key, recordings with the tray, the dialog.

#include <gio/gio.h>
#include <webkit2/webkit2.h>

#include "app/app_delegate.h"
#include "app/main_window_controller.h"
#include "app/status_item_controller.h"
#include "bridge/script_target.h"
#include "desktop_test.h"
#include "fake_tray.h"
#include "platform/desktop/x11_monitors.h"
#include "recording/recording_controller.h"
#include "screen_helpers.h"
#include "support/bridge_process.h"

namespace marlune {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::runMainFor;
using test::runMainUntil;
using Phase = RecordingController::Phase;
using test::FakeTray;
using test::ScriptLine;

// Keeps every script the bridge sends and passes it on to the real page.
class TeePage : public ScriptTarget {
  public:
    explicit TeePage(std::shared_ptr<ScriptTarget> real) : real_(std::move(real)) {}
    void evaluateScript(const std::string& script) override {
        scripts.push_back(test::parseScriptLine(script));
        real_->evaluateScript(script);
    }
    // The reply envelope sent for `id`, if any yet.
    std::optional<Json> reply(const std::string& id) const {
        for (const auto& s : scripts) {
            if (s.kind == ScriptLine::Kind::reply && s.value.value("id", "") == id) return s.value;
        }
        return std::nullopt;
    }
    // The data of the events named `name` sent so far, in order.
    std::vector<Json> events(const std::string& name) const {
        std::vector<Json> data;
        for (const auto& s : scripts) {
            if (s.kind == ScriptLine::Kind::event && s.value.value("name", "") == name) {
                data.push_back(s.value["data"]);
            }
        }
        return data;
    }
    std::vector<ScriptLine> scripts;

  private:
    std::shared_ptr<ScriptTarget> real_;
};

// The toplevel windows of a GTK type that are showing.
std::vector<GtkWindow*> visibleWindowsOfType(GType type) {
    std::vector<GtkWindow*> found;
    GList* all = gtk_window_list_toplevels();
    for (GList* l = all; l; l = l->next) {
        auto* w = static_cast<GtkWidget*>(l->data);
        if (G_TYPE_CHECK_INSTANCE_TYPE(w, type) && gtk_widget_get_visible(w)) {
            found.push_back(GTK_WINDOW(w));
        }
    }
    g_list_free(all);
    return found;
}

class DesktopAppTest : public test::DesktopTest {
  protected:
    void TearDown() override { app.reset(); }

    // Returns once the page has sent "app.ready"; the tee sees what follows.
    void launchDesktop() {
        app = AppDelegate::create({});
        app->applicationDidFinishLaunching([](MainWindowController&) {});
        ASSERT_TRUE(runMainUntil([&] { return app->bridge->pageReady(); }, 30s))
            << "the page never sent app.ready";
        page = std::make_shared<TeePage>(app->windowController->page());
        app->bridge->setWebView(page);
    }
    void send(const std::string& id, const std::string& cmd, Json payload = Json::object()) {
        app->bridge->receive(Json{{"id", id}, {"cmd", cmd}, {"payload", std::move(payload)}});
    }
    // The reply to `id`, waited for.
    std::optional<Json> replyTo(const std::string& id, std::chrono::milliseconds timeout = 10s) {
        std::optional<Json> found;
        runMainUntil([&] { return (found = page->reply(id)).has_value(); }, timeout);
        return found;
    }
    std::vector<Json> events(const std::string& name) const { return page->events(name); }

    GtkWindow* appWindow() const { return app->windowController->window(); }
    // Where the window system says the window is (y downwards).
    Frame actualFrame() const {
        int x, y, w, h;
        gtk_window_get_position(appWindow(), &x, &y);
        gtk_window_get_size(appWindow(), &w, &h);
        return {double(x), double(y), double(w), double(h)};
    }
    bool settlesAt(const Frame& expected) {
        return runMainUntil([&] { return actualFrame() == expected; }, 5s);
    }
    // Whether the window manager keeps the window above others (its _NET_WM_STATE).
    bool keptAbove() const {
        GdkAtom type;
        gint format = 0, length = 0;
        guchar* data = nullptr;
        bool above = false;
        if (gdk_property_get(gtk_widget_get_window(GTK_WIDGET(appWindow())),
                             gdk_atom_intern_static_string("_NET_WM_STATE"),
                             gdk_atom_intern_static_string("ATOM"), 0, 1024, FALSE, &type, &format,
                             &length, &data)) {
            auto* atoms = reinterpret_cast<GdkAtom*>(data);
            for (std::size_t i = 0; i < length / sizeof(GdkAtom); ++i) {
                above = above || atoms[i] == gdk_atom_intern_static_string("_NET_WM_STATE_ABOVE");
            }
            g_free(data);
        }
        return above;
    }
    // The window's style classes among `names`, and the web view's background alpha.
    std::pair<std::vector<std::string>, double> looks() const {
        std::vector<std::string> found;
        for (const char* name : {"chrome-dark", "chrome-light", "bar"}) {
            if (gtk_style_context_has_class(gtk_widget_get_style_context(GTK_WIDGET(appWindow())),
                                            name)) {
                found.push_back(name);
            }
        }
        GdkRGBA c;
        webkit_web_view_get_background_color(app->windowController->webView(), &c);
        return {found, c.alpha};
    }

    std::shared_ptr<AppDelegate> app;
    std::shared_ptr<TeePage> page;
};

TEST_F(DesktopAppTest, OneLaunchDrivesTheWindowTheHotKeyTheTrayAndTheDialog) {
    FakeTray tray;
    launchDesktop();
    MainWindowController& window = *app->windowController;
    GtkWindow* mainWindow = window.window();
    int closed = 0;
    window.onClosed = [&] { ++closed; };
    {
        SCOPED_TRACE("window commands reply first, then act: the bar and the chrome");
        using Looks = std::pair<std::vector<std::string>, double>;
        EXPECT_NE(gtk_widget_get_visual(GTK_WIDGET(mainWindow)),
                  gdk_screen_get_system_visual(gtk_widget_get_screen(GTK_WIDGET(mainWindow))))
            << "the RGBA visual is chosen before the window is realized";
        EXPECT_EQ(looks(), (Looks{{"chrome-dark"}, 1.0}));
        ASSERT_TRUE(runMainUntil([&] {
            return actualFrame().width == MainWindowController::kInitialWidth &&
                   actualFrame().height == MainWindowController::kInitialHeight;
        }));
        const Frame appFrame = actualFrame();

        // The first size places the bar, borderless and kept above, at the bottom centre of the
        // work area.
        send("b1", "app.setBarMode", {{"on", true}, {"w", 420}, {"h", 64}});
        EXPECT_EQ(page->reply("b1"),
                  (Json{{"id", "b1"}, {"ok", true}, {"result", Json::object()}}));
        EXPECT_FALSE(window.isBarMode()) << "the reply goes out before the window changes";
        GdkRectangle area;
        gdk_monitor_get_workarea(
            gdk_display_get_monitor_at_window(gdk_display_get_default(),
                                              gtk_widget_get_window(GTK_WIDGET(mainWindow))),
            &area);
        const double x = std::round(area.x + area.width / 2.0 - 210);
        const double y = area.y + area.height - 96 - 64;
        EXPECT_TRUE(settlesAt({x, y, 420, 64}));
        EXPECT_FALSE(gtk_window_get_decorated(mainWindow));
        EXPECT_TRUE(runMainUntil([&] { return keptAbove(); }));
        EXPECT_EQ(looks(), (Looks{{"chrome-dark", "bar"}, 0.0}));
        // A new size keeps the centre and the bottom edge; drags go the page's way (y grows
        // downwards), a move that is not a number is none.
        send("b2", "app.setBarMode", {{"on", true}, {"w", 300}, {"h", 80}});
        EXPECT_TRUE(settlesAt({x + 60, y - 16, 300, 80}));
        for (const Json& by : {Json{{"dx", -25}, {"dy", 30}}, Json{{"dx", 5}, {"dy", -10}},
                               Json{{"dx", 12}, {"dy", "not a number"}}}) {
            send("m", "app.moveBar", by);
        }
        EXPECT_TRUE(settlesAt({x + 52, y + 4, 300, 80}));
        // Light chrome in bar mode keeps the clear background.
        send("c1", "app.setChrome", {{"dark", false}});
        ASSERT_TRUE(runMainUntil([&] { return !window.dark(); }));
        EXPECT_EQ(looks(), (Looks{{"chrome-light", "bar"}, 0.0}));
        // Off: back where it was, with its title bar.
        send("b3", "app.setBarMode");
        ASSERT_TRUE(runMainUntil([&] { return !window.isBarMode(); }));
        EXPECT_TRUE(gtk_window_get_decorated(mainWindow));
        EXPECT_TRUE(settlesAt(appFrame));
        EXPECT_TRUE(runMainUntil([&] { return !keptAbove(); }));
        EXPECT_EQ(looks(), (Looks{{"chrome-light"}, 1.0}));
    }
    {
        SCOPED_TRACE("becoming active tells the page the permissions");
        test::ClickTarget other(50, 50, 200, 100);
        gtk_window_present(other.window());
        ASSERT_TRUE(runMainUntil([&] { return gtk_window_is_active(other.window()); }));
        const auto before = events("permissionsChanged").size();
        gtk_window_present(mainWindow);
        ASSERT_TRUE(runMainUntil([&] { return gtk_window_is_active(mainWindow); }));
        ASSERT_TRUE(
            runMainUntil([&] { return events("permissionsChanged").size() == before + 1; }));
        EXPECT_EQ(events("permissionsChanged").back()["screen"], "granted");
    }
    {
        SCOPED_TRACE("the hot key while idle brings the window and tells the page");
        ASSERT_TRUE(app->hotkey->isRegistered());
        // Whatever the lock keys: each press is one "hotkeyRecord".
        const std::vector<std::string> locks = {"", "Caps_Lock", "Num_Lock"};
        const std::size_t before = events("hotkeyRecord").size();
        for (std::size_t i = 0; i < locks.size(); ++i) {
            SCOPED_TRACE("lock: " + locks[i]);
            gtk_widget_hide(GTK_WIDGET(mainWindow));
            ASSERT_TRUE(test::run("xdotool key " + locks[i] + " ctrl+shift+2 " + locks[i]));
            EXPECT_TRUE(runMainUntil([&] {
                return events("hotkeyRecord").size() == before + i + 1 &&
                       gtk_widget_get_visible(GTK_WIDGET(mainWindow));
            })) << events("hotkeyRecord").size();
        }
        EXPECT_EQ(events("hotkeyRecord").back(), Json::object());
        // Held down long enough to repeat: still one press. Other combinations are not ours.
        ASSERT_TRUE(test::run("xdotool keydown ctrl+shift+2 sleep 1.5 keyup ctrl+shift+2"));
        runMainFor(500ms);
        ASSERT_TRUE(test::run("xdotool key ctrl+2 shift+2 ctrl+shift+3"));
        runMainFor(300ms);
        EXPECT_EQ(events("hotkeyRecord").size(), before + locks.size() + 1);
    }
    {
        SCOPED_TRACE("recordings: the window steps aside when asked, the tray and the hot key");
        auto monitors = x11::listMonitors();
        ASSERT_TRUE(monitors && !monitors->empty());
        EXPECT_TRUE(tray.items.empty()) << "no tray item while idle";
        const auto asked = events("hotkeyRecord").size();
        for (bool hide : {true, false}) {
            SCOPED_TRACE(hide ? "hidden" : "left in place");
            ASSERT_TRUE(window.isVisible());
            const std::string id = hide ? "hidden" : "kept";
            const auto countdowns = events("countdown").size();
            const auto registered = tray.items.size();
            const std::size_t saved = events("saved").size();
            send(id, "recording.start",
                 {{"sourceKind", "display"},
                  {"sourceID", monitors->front().id},
                  {"mic", false},
                  {"hideWindow", hide}});
            ASSERT_TRUE(runMainUntil([&] { return events("countdown").size() > countdowns; }, 10s));
            // The countdown shows over the display, and lets everything through to it.
            EXPECT_TRUE(
                runMainUntil([&] { return !visibleWindowsOfType(GTK_TYPE_WINDOW).empty(); }, 2s));
            ASSERT_TRUE(replyTo(id, 20s));
            ASSERT_EQ((*page->reply(id))["ok"], true) << page->reply(id)->dump();
            EXPECT_EQ(window.isVisible(), !hide);
            EXPECT_EQ(visibleWindowsOfType(GTK_TYPE_WINDOW).empty(), hide);
            EXPECT_EQ(app->recording->phase(), Phase::recording);
            // Closing the window does not end a recording, nor the program: it only hides.
            EXPECT_FALSE(app->applicationShouldTerminateAfterLastWindowClosed());
            ASSERT_TRUE(runMainUntil([&] { return tray.items.size() > registered; }, 5s))
                << "the item never registered with the tray";
            runMainFor(200ms);
            ASSERT_EQ(tray.items.size(), registered + 1);
            const auto entry = tray.items.back();
            EXPECT_EQ(tray.stringProperty(entry, "Status"), "Active");
            EXPECT_EQ(tray.stringProperty(entry, "IconName"), "marlune-recording");
            if (!hide) {
                gtk_window_close(mainWindow);
                ASSERT_TRUE(runMainUntil([&] { return !window.isVisible(); }));
                EXPECT_EQ(closed, 0);
                ASSERT_TRUE(tray.click(entry, "Show Marlune"));
                EXPECT_TRUE(runMainUntil([&] { return window.isVisible(); }));
                // The hot key stops a recording in progress rather than asking the page.
                runMainFor(1000ms);
                ASSERT_TRUE(test::run("xdotool key ctrl+shift+2"));
                ASSERT_TRUE(runMainUntil([&] { return events("saved").size() == saved + 1; }, 20s));
                EXPECT_EQ(events("hotkeyRecord").size(), asked);
                EXPECT_EQ(app->recording->phase(), Phase::idle);
                continue;
            }
            // The tray finds the icons in the folder the item names.
            fs::path icons = tray.stringProperty(entry, "IconThemePath");
            EXPECT_TRUE(fs::exists(icons / "marlune-recording.svg")) << icons;
            EXPECT_TRUE(fs::exists(icons / "marlune-paused.svg")) << icons;
            std::vector<std::string> menu;
            for (const auto& e : tray.menu(entry)) menu.push_back(e.separator ? "-" : e.label);
            EXPECT_EQ(menu,
                      (std::vector<std::string>{"Pause", "Stop Recording", "-", "Show Marlune"}));
            ASSERT_TRUE(runMainUntil(
                [&] { return tray.stringProperty(entry, "XAyatanaLabel") == "00:01"; }, 5s))
                << tray.stringProperty(entry, "XAyatanaLabel");
            // The menu pauses (the time stands still), resumes and stops.
            ASSERT_TRUE(tray.click(entry, "Pause"));
            ASSERT_TRUE(runMainUntil([&] { return app->recording->phase() == Phase::paused; }));
            ASSERT_TRUE(runMainUntil([&] {
                return tray.stringProperty(entry, "IconName") == "marlune-paused" &&
                       tray.menu(entry).front().label == "Resume";
            }));
            const std::string frozen = tray.stringProperty(entry, "XAyatanaLabel");
            runMainFor(1200ms);
            EXPECT_EQ(tray.stringProperty(entry, "XAyatanaLabel"), frozen);
            ASSERT_TRUE(tray.click(entry, "Resume"));
            ASSERT_TRUE(runMainUntil([&] { return app->recording->phase() == Phase::recording; }));
            EXPECT_TRUE(runMainUntil([&] {
                return tray.stringProperty(entry, "IconName") == "marlune-recording" &&
                       tray.menu(entry).front().label == "Pause";
            }));
            ASSERT_TRUE(tray.click(entry, "Stop Recording"));
            ASSERT_TRUE(runMainUntil([&] { return events("saved").size() == saved + 1; }, 20s));
            EXPECT_TRUE(window.isVisible()) << "back once the recording is saved";
            // Hidden: gone from the bus, so from the tray.
            EXPECT_TRUE(runMainUntil(
                [&] { return tray.stringProperty(entry, "Status") == "<unreadable>"; }));
            EXPECT_FALSE(app->statusItem->isShown());
            EXPECT_FALSE(app->isRecordingActive());
            EXPECT_TRUE(app->applicationShouldTerminateAfterLastWindowClosed());
        }
        // Idle, closing ends the application; the window is kept, only hidden.
        window.show();
        ASSERT_TRUE(runMainUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(mainWindow)); }));
        gtk_window_close(mainWindow);
        ASSERT_TRUE(runMainUntil([&] { return !window.isVisible() && closed == 1; }));
        window.show();
    }
    {
        SCOPED_TRACE("confirm asks over the window");
        ASSERT_TRUE(runMainUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(mainWindow)); }));
        auto openDialog = [&]() -> GtkWindow* {
            GtkWindow* found = nullptr;
            runMainUntil([&] {
                auto dialogs = visibleWindowsOfType(GTK_TYPE_MESSAGE_DIALOG);
                found = dialogs.empty() ? nullptr : dialogs.front();
                return found && gtk_widget_get_mapped(GTK_WIDGET(found));
            });
            return found;
        };
        // The dialog's title, message and button labels, in order.
        auto shown = [](GtkWindow* dialog) {
            std::vector<std::string> texts;
            for (const char* property : {"text", "secondary-text"}) {
                gchar* value = nullptr;
                g_object_get(dialog, property, &value, nullptr);
                texts.push_back(value ? value : "");
                g_free(value);
            }
            GtkWidget* ok = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
            GList* buttons = gtk_container_get_children(GTK_CONTAINER(gtk_widget_get_parent(ok)));
            for (GList* b = buttons; b; b = b->next) {
                texts.push_back(gtk_button_get_label(GTK_BUTTON(b->data)));
            }
            g_list_free(buttons);
            return texts;
        };
        auto answer = [&](const std::string& id) { return replyTo(id).value_or(Json())["result"]; };
        using Texts = std::vector<std::string>;

        // The page's texts (an underscore is no mnemonic), over the window; the answer waits for
        // the user, whose first button says yes (Escape, no: tests/webdriver).
        send("q2", "app.confirm",
             {{"title", "Delete this recording?"},
              {"message", "It goes to the trash."},
              {"okLabel", "Move_to Trash"}});
        GtkWindow* dialog = openDialog();
        ASSERT_TRUE(dialog);
        EXPECT_FALSE(page->reply("q2"));
        EXPECT_EQ(shown(dialog), (Texts{"Delete this recording?", "It goes to the trash.",
                                        "Move_to Trash", "Cancel"}));
        EXPECT_EQ(gtk_window_get_transient_for(dialog), mainWindow);
        EXPECT_TRUE(gtk_window_get_modal(dialog));
        gtk_button_clicked(
            GTK_BUTTON(gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK)));
        EXPECT_EQ(answer("q2"), (Json{{"ok", true}}));

        // With the window hidden the dialog stands alone, modal to the application; closing it
        // answers no.
        window.hideForRecording();
        send("q3", "app.confirm", {{"title", 5}});
        dialog = openDialog();
        ASSERT_TRUE(dialog);
        EXPECT_EQ(gtk_window_get_transient_for(dialog), nullptr);
        EXPECT_TRUE(gtk_window_get_modal(dialog));
        gtk_window_close(dialog);
        EXPECT_EQ(answer("q3"), (Json{{"ok", false}}));
    }
}

}  // namespace
}  // namespace marlune
