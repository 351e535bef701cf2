#include "app/main_window_controller.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <gdk/gdkwayland.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include "app/confirm_dialog.h"
#include "app/version.h"
#include "app/webkit_scheme_adapter.h"
#include "bridge/marlune_scheme_handler.h"
#include "bridge/script_message_proxy.h"
#include "bridge/script_target.h"
#include "bridge/web_bridge.h"
#include "core/queue.h"

namespace marlune {

namespace {

constexpr const char* kStartURL = "marlune://app/index.html";
constexpr const char* kAppVersion = MARLUNE_PROJECT_VERSION;

// The chrome colours in CSS, to the nearest 8-bit value of kDarkBG and kLightBG.
constexpr const char* kChromeCss = R"css(
window.marlune-main.chrome-dark { background-color: rgb(5, 5, 7); }
window.marlune-main.chrome-light { background-color: rgb(238, 241, 246); }
window.marlune-main.bar { background-color: transparent; }
window.marlune-main.bar decoration { box-shadow: none; border: none; }
)css";

class WebViewPage : public ScriptTarget {
  public:
    explicit WebViewPage(WebKitWebView* view) : view_(view) {}

    void evaluateScript(const std::string& script) override {
        webkit_web_view_evaluate_javascript(view_, script.c_str(),
                                            static_cast<gssize>(script.size()), nullptr, nullptr,
                                            nullptr, nullptr, nullptr);
    }

  private:
    WebKitWebView* view_;
};

// The page writes in the generic sans-serif family, taken here from the desktop's interface font
// (GNOME's "Cantarell 11" gives Cantarell). Named in the page instead, every family the machine
// lacks would cost a font search for each size and weight of text as the page first draws.
void useDesktopFont(WebKitSettings* settings) {
    gchar* name = nullptr;
    if (GtkSettings* desktop = gtk_settings_get_default()) {
        g_object_get(desktop, "gtk-font-name", &name, nullptr);
    }
    if (!name) return;
    PangoFontDescription* font = pango_font_description_from_string(name);
    g_free(name);
    const char* family = pango_font_description_get_family(font);
    if (family && *family) webkit_settings_set_sans_serif_font_family(settings, family);
    pango_font_description_free(font);
}

void onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
    char* text = jsc_value_to_json(webkit_javascript_result_get_js_value(result), 0);
    if (!text) return;  // undefined, functions and the like have no JSON form
    static_cast<ScriptMessageProxy*>(data)->didReceiveText(text);
    g_free(text);
}

// The driver asks for a browsing context once its session has started: that is the main view,
// with the page already loading, so the driver sees the real application. The view is not a new
// reference; the window keeps it.
WebKitWebView* onCreateWebView(WebKitAutomationSession*, gpointer data) {
    auto* window = static_cast<MainWindowController*>(data);
    window->show();
    return window->webView();
}

void onAutomationStarted(WebKitWebContext*, WebKitAutomationSession* session, gpointer data) {
    // The driver matches the session against the browser name and version it was asked for.
    WebKitApplicationInfo* info = webkit_application_info_new();
    webkit_application_info_set_name(info, "marlune");
    unsigned major = 0, minor = 0, micro = 0;
    std::sscanf(kAppVersion, "%u.%u.%u", &major, &minor, &micro);
    webkit_application_info_set_version(info, major, minor, micro);
    webkit_automation_session_set_application_info(session, info);
    webkit_application_info_unref(info);
    g_signal_connect(session, "create-web-view", G_CALLBACK(onCreateWebView), data);
}

GdkRGBA rgba(MainWindowController::Colour c, double alpha = 1) {
    return GdkRGBA{c.red, c.green, c.blue, alpha};
}

}  // namespace

MainWindowController::MainWindowController(std::shared_ptr<WebBridge> bridge,
                                           std::shared_ptr<MarluneSchemeHandler> scheme,
                                           Automation automation) {
    // The view's configuration: the bridge's message handler and the local scheme.
    WebKitUserContentManager* content = webkit_user_content_manager_new();
    g_signal_connect_data(
        content, "script-message-received::marlune", G_CALLBACK(onScriptMessage),
        new ScriptMessageProxy(bridge),
        [](gpointer p, GClosure*) { delete static_cast<ScriptMessageProxy*>(p); },
        GConnectFlags(0));
    webkit_user_content_manager_register_script_message_handler(content, "marlune");
    // A context of its own, so that the scheme is registered once per window.
    WebKitWebContext* context = webkit_web_context_new();
    registerMarluneScheme(context, std::move(scheme));
    if (automation == Automation::on) allowAutomation(context);

    // A view driven by automation must say so when it is made; it cannot become one later.
    webView_ = WEBKIT_WEB_VIEW(
        g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, "user-content-manager", content,
                     "is-controlled-by-automation", automation == Automation::on, nullptr));
    g_object_unref(context);
    g_object_unref(content);
    useDesktopFont(webkit_web_view_get_settings(webView_));
#ifndef NDEBUG
    webkit_settings_set_enable_developer_extras(webkit_web_view_get_settings(webView_), TRUE);
#endif
    page_ = std::make_shared<WebViewPage>(webView_);
    // The web process starts with the load: as early as can be, the window is built meanwhile.
    webkit_web_view_load_uri(webView_, kStartURL);

    window_ = GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL));
    g_object_ref(window_);
    // Before the window is realized: only then can bar mode make its background see-through.
    GdkScreen* screen = gtk_widget_get_screen(GTK_WIDGET(window_));
    if (GdkVisual* visual = gdk_screen_get_rgba_visual(screen)) {
        gtk_widget_set_visual(GTK_WIDGET(window_), visual);
    }
    css_ = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css_, kChromeCss, -1, nullptr);
    gtk_style_context_add_provider_for_screen(screen, GTK_STYLE_PROVIDER(css_),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    gtk_style_context_add_class(gtk_widget_get_style_context(GTK_WIDGET(window_)), "marlune-main");

    gtk_window_set_title(window_, "Marlune Studio");
    gtk_window_set_default_size(window_, kInitialWidth, kInitialHeight);
    setMinimumSize(kMinWidth, kMinHeight);
    gtk_window_set_position(window_, GTK_WIN_POS_CENTER);

    // No title bar of GTK's: the page's header is the title row (one row, not two). An empty,
    // hidden title widget keeps the client-side frame (resize edges, shadow) without a bar.
    gtk_window_set_title(window_, "Marlune Studio");
    titlebar_ = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    gtk_widget_set_no_show_all(titlebar_, TRUE);
    gtk_window_set_titlebar(window_, titlebar_);

    gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(webView_));
    g_signal_connect(window_, "delete-event", G_CALLBACK(onDelete), this);
    // The page asked to be closed (a WebDriver session's "close window"): as the window's close
    // button.
    using ViewClosed = void (*)(WebKitWebView*, gpointer);
    g_signal_connect(webView_, "close",
                     G_CALLBACK(static_cast<ViewClosed>(
                         [](WebKitWebView*, gpointer self) { onDelete(nullptr, nullptr, self); })),
                     this);
    // The presses on the page, seen before the page gets them, so that a drag the page asks for
    // can start from the press the window system knows.
    using ButtonEvent = gboolean (*)(GtkWidget*, GdkEventButton*, gpointer);
    g_signal_connect(webView_, "button-press-event",
                     G_CALLBACK(static_cast<ButtonEvent>(
                         [](GtkWidget*, GdkEventButton* e, gpointer data) -> gboolean {
                             auto* self = static_cast<MainWindowController*>(data);
                             if (e->type != GDK_BUTTON_PRESS) return FALSE;
                             self->pressedButton_ = e->button;
                             self->pressRootX_ = e->x_root;
                             self->pressRootY_ = e->y_root;
                             self->pressTime_ = e->time;
                             return FALSE;
                         })),
                     this);
    g_signal_connect(webView_, "button-release-event",
                     G_CALLBACK(static_cast<ButtonEvent>(
                         [](GtkWidget*, GdkEventButton*, gpointer data) -> gboolean {
                             static_cast<MainWindowController*>(data)->pressedButton_ = 0;
                             return FALSE;
                         })),
                     this);
    // Both signals give (view, menu, event, rectangle or hit-test result, data).
    using BeforeMenu = gboolean (*)(WebKitWebView*, gpointer, GdkEvent*, gpointer, gpointer);
    for (const char* menu : {"show-option-menu", "context-menu"}) {
        g_signal_connect(webView_, menu,
                         G_CALLBACK(static_cast<BeforeMenu>(
                             [](WebKitWebView*, gpointer, GdkEvent*, gpointer, gpointer data) {
                                 static_cast<MainWindowController*>(data)->matchToolkitTheme();
                                 return FALSE;
                             })),
                         this);
    }
    using StateEvent = gboolean (*)(GtkWidget*, GdkEventWindowState*, gpointer);
    g_signal_connect(window_, "window-state-event",
                     G_CALLBACK(static_cast<StateEvent>(
                         [](GtkWidget*, GdkEventWindowState* e, gpointer data) -> gboolean {
                             auto* self = static_cast<MainWindowController*>(data);
                             bool now = (e->new_window_state & GDK_WINDOW_STATE_MAXIMIZED) != 0;
                             if (now != self->maximized_) {
                                 self->maximized_ = now;
                                 if (self->onMaximizedChanged) self->onMaximizedChanged(now);
                             }
                             return FALSE;
                         })),
                     this);
    using ConfigureEvent = gboolean (*)(GtkWidget*, GdkEventConfigure*, gpointer);
    g_signal_connect(window_, "configure-event",
                     G_CALLBACK(static_cast<ConfigureEvent>(
                         [](GtkWidget*, GdkEventConfigure*, gpointer data) -> gboolean {
                             auto* self = static_cast<MainWindowController*>(data);
                             if (!self->sizeToRestore_) return FALSE;
                             int w = 0, h = 0;
                             gtk_window_get_size(self->window_, &w, &h);
                             if (std::pair{w, h} == *self->sizeToRestore_) {
                                 self->restoreMinimumSize();
                             }
                             return FALSE;
                         })),
                     this);
    gtk_widget_show(GTK_WIDGET(webView_));

    setChrome(dark_);
}

MainWindowController::~MainWindowController() {
    page_.reset();
    if (restoreTimer_) g_source_remove(restoreTimer_);
    g_signal_handlers_disconnect_by_data(window_, this);
    g_signal_handlers_disconnect_by_data(webView_, this);
    gtk_widget_destroy(GTK_WIDGET(window_));
    g_object_unref(window_);
    if (menu_) g_object_unref(menu_);
    gtk_style_context_remove_provider_for_screen(gdk_screen_get_default(),
                                                 GTK_STYLE_PROVIDER(css_));
    g_object_unref(css_);
}

void MainWindowController::allowAutomation(WebKitWebContext* context) {
    webkit_web_context_set_automation_allowed(context, TRUE);
    g_signal_connect(context, "automation-started", G_CALLBACK(onAutomationStarted), this);
}

void MainWindowController::setMainMenu(GMenuModel* menu) {
    if (menu) g_object_ref(menu);
    if (menu_) g_object_unref(menu_);
    menu_ = menu;
}

void MainWindowController::show() {
    MARLUNE_ASSERT_ON(Queue::main());
    gtk_window_present(window_);
}

void MainWindowController::hideForRecording() {
    MARLUNE_ASSERT_ON(Queue::main());
    gtk_widget_hide(GTK_WIDGET(window_));
}

bool MainWindowController::isVisible() const {
    return gtk_widget_get_visible(GTK_WIDGET(window_));
}

void MainWindowController::setChrome(bool dark) {
    MARLUNE_ASSERT_ON(Queue::main());
    dark_ = dark;
    applyChromeColours();
}

// The toolkit's dark variant colours what it draws for the page: the confirmation dialog, the
// lists of <select> elements, context menus. Changing it parses the whole theme again (about
// 50 ms of this thread), so it is told just before it draws one of those, never while the page
// starts.
void MainWindowController::matchToolkitTheme() {
    if (toolkitDark_ == dark_) return;
    toolkitDark_ = dark_;
    g_object_set(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", dark_, nullptr);
}

void MainWindowController::applyChromeColours() {
    GtkStyleContext* style = gtk_widget_get_style_context(GTK_WIDGET(window_));
    gtk_style_context_remove_class(style, "chrome-dark");
    gtk_style_context_remove_class(style, "chrome-light");
    gtk_style_context_add_class(style, dark_ ? "chrome-dark" : "chrome-light");
    if (isBarMode_) {
        gtk_style_context_add_class(style, "bar");
        GdkRGBA clear{0, 0, 0, 0};
        webkit_web_view_set_background_color(webView_, &clear);
    } else {
        gtk_style_context_remove_class(style, "bar");
        GdkRGBA colour = rgba(dark_ ? kDarkBG : kLightBG);
        webkit_web_view_set_background_color(webView_, &colour);
    }
}

void MainWindowController::setMinimumSize(int width, int height) {
    GdkGeometry geometry{};
    geometry.min_width = width;
    geometry.min_height = height;
    gtk_window_set_geometry_hints(window_, nullptr, &geometry, GDK_HINT_MIN_SIZE);
}

void MainWindowController::restoreMinimumSize() {
    sizeToRestore_.reset();
    if (restoreTimer_) g_source_remove(restoreTimer_);
    restoreTimer_ = 0;
    setMinimumSize(kMinWidth, kMinHeight);
}

double MainWindowController::screenHeight() const {
    GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(window_));
    int bottom = 0;
    for (int i = 0; i < gdk_display_get_n_monitors(display); ++i) {
        GdkRectangle r;
        gdk_monitor_get_geometry(gdk_display_get_monitor(display, i), &r);
        bottom = std::max(bottom, r.y + r.height);
    }
    return bottom > 0 ? bottom : bar::kFallbackVisibleFrame.height;
}

Frame MainWindowController::visibleFrame() const {
    GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(window_));
    GdkMonitor* monitor = nullptr;
    if (GdkWindow* w = gtk_widget_get_window(GTK_WIDGET(window_))) {
        monitor = gdk_display_get_monitor_at_window(display, w);
    }
    if (!monitor) monitor = gdk_display_get_primary_monitor(display);
    if (!monitor && gdk_display_get_n_monitors(display) > 0) {
        monitor = gdk_display_get_monitor(display, 0);
    }
    if (!monitor) return bar::kFallbackVisibleFrame;
    GdkRectangle area;
    gdk_monitor_get_workarea(monitor, &area);
    return flipped(Frame{double(area.x), double(area.y), double(area.width), double(area.height)},
                   screenHeight());
}

Frame MainWindowController::frame() const {
    if (isBarMode_) return barFrame_;
    int x = 0, y = 0, w = 0, h = 0;
    gtk_window_get_position(window_, &x, &y);
    gtk_window_get_size(window_, &w, &h);
    return {double(x), double(y), double(w), double(h)};
}

void MainWindowController::applyFrame(const Frame& f) {
    gtk_window_move(window_, static_cast<int>(std::lround(f.x)),
                    static_cast<int>(std::lround(f.y)));
    gtk_window_resize(window_, std::max(1, static_cast<int>(std::lround(f.width))),
                      std::max(1, static_cast<int>(std::lround(f.height))));
}

void MainWindowController::setBarMode(bool on, double w, double h) {
    MARLUNE_ASSERT_ON(Queue::main());
    if (!on) {
        if (!isBarMode_) return;
        isBarMode_ = false;
        gtk_window_set_decorated(window_, TRUE);
        gtk_window_set_keep_above(window_, FALSE);
        gtk_window_unstick(window_);
        setChrome(dark_);
        const Frame restored = savedAppFrame_ ? *savedAppFrame_ : [this] {
            const Frame visible = flipped(visibleFrame(), screenHeight());
            return Frame{std::round(visible.midX() - kInitialWidth / 2.0),
                         std::round(visible.y + (visible.height - kInitialHeight) / 2),
                         double(kInitialWidth), double(kInitialHeight)};
        }();
        applyFrame(restored);
        // The window's minimum comes back once the window has its size again: a window manager
        // that sees the larger minimum while the window is still the bar's size enlarges it to
        // the minimum, and may do so after the size asked for here (openbox does, one time in a
        // few), leaving the window smaller than it was.
        sizeToRestore_ = {static_cast<int>(std::lround(restored.width)),
                          static_cast<int>(std::lround(restored.height))};
        if (restoreTimer_) g_source_remove(restoreTimer_);
        restoreTimer_ = g_timeout_add(
            1000,
            [](gpointer self) -> gboolean {
                static_cast<MainWindowController*>(self)->restoreTimer_ = 0;
                static_cast<MainWindowController*>(self)->restoreMinimumSize();
                return G_SOURCE_REMOVE;
            },
            this);
        show();
        return;
    }
    if (!isBarMode_) {
        if (sizeToRestore_) restoreMinimumSize();
        savedAppFrame_ = frame();
        barFrame_ = *savedAppFrame_;
        isBarMode_ = true;
        barPlaced_ = false;
        gtk_window_set_decorated(window_, FALSE);
        gtk_window_set_keep_above(window_, TRUE);
        gtk_window_stick(window_);
        setMinimumSize(kBarMinWidth, kBarMinHeight);
        applyChromeColours();
    }
    if (!(w > 0) || !(h > 0)) {
        show();
        return;
    }
    double height = screenHeight();
    Frame next;
    if (barPlaced_) {
        next = bar::resized(flipped(barFrame_, height), w, h);
    } else {
        next = bar::firstPlacement(visibleFrame(), w, h);
        barPlaced_ = true;
    }
    barFrame_ = flipped(next, height);
    applyFrame(barFrame_);
    show();
}

void MainWindowController::moveBar(double dx, double dy) {
    MARLUNE_ASSERT_ON(Queue::main());
    if (!isBarMode_) return;
    if (GDK_IS_WAYLAND_DISPLAY(gtk_widget_get_display(GTK_WIDGET(window_)))) {
        return moveBarByCompositor();
    }
    double height = screenHeight();
    barFrame_ = flipped(bar::moved(flipped(barFrame_, height), dx, dy), height);
    gtk_window_move(window_, static_cast<int>(std::lround(barFrame_.x)),
                    static_cast<int>(std::lround(barFrame_.y)));
}

// A Wayland compositor ignores a window's own moves: while the button that began the page's drag
// is held, the compositor is asked once to move the bar with the pointer itself (it then has the
// pointer until the button is released). Moves without the button held ask for nothing.
void MainWindowController::moveBarByCompositor() {
    GdkWindow* window = gtk_widget_get_window(GTK_WIDGET(window_));
    GdkSeat* seat = gdk_display_get_default_seat(gtk_widget_get_display(GTK_WIDGET(window_)));
    GdkModifierType mask{};
    if (window && seat) {
        gdk_window_get_device_position(window, gdk_seat_get_pointer(seat), nullptr, nullptr, &mask);
    }
    const bool held = (mask & GDK_BUTTON1_MASK) != 0;
    if (held && !compositorMoving_) {
        gtk_window_begin_move_drag(window_, 1, 0, 0, GDK_CURRENT_TIME);
    }
    compositorMoving_ = held;
}

bool MainWindowController::windowShouldClose() {
    if (isRecordingProvider && isRecordingProvider()) {
        gtk_widget_hide(GTK_WIDGET(window_));
        return false;
    }
    return true;
}

int MainWindowController::onDelete(GtkWidget*, GdkEvent*, void* data) {
    auto* self = static_cast<MainWindowController*>(data);
    if (self->windowShouldClose()) {
        gtk_widget_hide(GTK_WIDGET(self->window_));
        if (self->onClosed) self->onClosed();
    }
    return TRUE;  // the window itself is never destroyed while the application runs
}

void MainWindowController::reloadFromOrigin() {
    MARLUNE_ASSERT_ON(Queue::main());
    webkit_web_view_reload_bypass_cache(webView_);
}

void MainWindowController::confirm(const std::string& title, const std::string& message,
                                   const std::string& okLabel, std::function<void(bool)> done) {
    matchToolkitTheme();
    runConfirmDialog(isVisible() ? window_ : nullptr, title, message, okLabel, std::move(done));
}

}  // namespace marlune
