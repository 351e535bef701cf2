#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "app/bar_geometry.h"
#include "core/json.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _GtkWindow GtkWindow;
typedef struct _GMenuModel GMenuModel;
typedef struct _GtkCssProvider GtkCssProvider;
typedef struct _WebKitWebView WebKitWebView;
typedef struct _WebKitWebContext WebKitWebContext;
typedef union _GdkEvent GdkEvent;

namespace marlune {

class MarluneSchemeHandler;
class ScriptTarget;
class WebBridge;

// Whether a WebDriver server (WebKitWebDriver, which starts the program with "--automation") may
// drive the page: the web context then allows automation and the main view is the one handed to
// the automation session.
enum class Automation { off, on };

// The application's only regular window and the web view that hosts the page. It wires the view
// to the bridge (messages named "marlune", through a forwarder that holds the bridge weakly) and
// to the local scheme, loads "marlune://app/index.html", switches between dark and light chrome,
// and turns the same window into the small floating bar the page shows while recording: no title
// bar, kept above other windows, on every workspace, with a see-through background (the window
// has an RGBA visual from the start, so the background can turn clear without re-creating it).
//
// Main thread only. Owned by the application object; the window lives as long as this object
// (closing it only hides it).
class MainWindowController {
  public:
    static constexpr int kInitialWidth = 1160;
    static constexpr int kInitialHeight = 740;
    static constexpr int kMinWidth = 980;
    static constexpr int kMinHeight = 640;
    static constexpr int kBarMinWidth = 80;
    static constexpr int kBarMinHeight = 40;

    struct Colour {
        double red, green, blue;
    };
    static constexpr Colour kLightBG{0.933, 0.945, 0.965};
    static constexpr Colour kDarkBG{0.02, 0.02, 0.027};

    // `scheme` serves the view's "marlune" URLs. GTK must be initialised.
    MainWindowController(std::shared_ptr<WebBridge> bridge,
                         std::shared_ptr<MarluneSchemeHandler> scheme,
                         Automation automation = Automation::off);
    ~MainWindowController();
    MainWindowController(const MainWindowController&) = delete;
    MainWindowController& operator=(const MainWindowController&) = delete;

    GtkWindow* window() const { return window_; }
    WebKitWebView* webView() const { return webView_; }
    // Where the bridge's scripts go: evaluated in the web view. Hold it weakly.
    std::shared_ptr<ScriptTarget> page() const { return page_; }

    // Answers whether a recording is in progress; closing the window then only hides it.
    std::function<bool()> isRecordingProvider;
    // Runs when the user closed the window with no recording in progress (the window is hidden,
    // not destroyed). The application quits then.
    std::function<void()> onClosed;

    // The application menu, which the page's title row shows (see menuItems).
    void setMainMenu(GMenuModel* menu);

    // The page's header is the window's title row: GTK draws none (the window keeps its
    // client-side frame, for resizing and the shadow), and the page's controls act through these.
    // Starts moving the window with the pointer button still held since the last press on the
    // page; nothing when no button is down. Outside bar mode.
    void beginMoveDrag();
    // Maximises the window, or restores it when it is maximised.
    void toggleMaximized();
    void minimize();
    // As the window system's close button.
    void close();
    bool isMaximized() const;
    // The menu's entries, section by section: [[{"label", "action", "accel"?}]]; empty without a
    // menu.
    Json menuItems() const;
    // Activates the menu entry whose action is `action` ("app.reload"); false for an action the
    // menu does not hold.
    bool activateMenuAction(const std::string& action);
    // Tells the page when the window is maximised or restored ("windowState" {"maximized"}).
    std::function<void(bool maximized)> onMaximizedChanged;

    // Shows the window at the front, with keyboard focus.
    void show();
    void hideForRecording();
    void restoreAfterRecording() { show(); }
    bool isVisible() const;

    void setChrome(bool dark);
    // `w` and `h` in points; a size that is not positive leaves the frame as it is.
    void setBarMode(bool on, double w = 0, double h = 0);
    // Moves the bar by the page's delta (y grows downwards). Nothing outside bar mode.
    void moveBar(double dx, double dy);
    // False (and the window is hidden) while a recording is in progress.
    bool windowShouldClose();

    // Reloads the page, bypassing caches.
    void reloadFromOrigin();
    // A confirmation dialog over the window when it is visible, application-modal otherwise.
    void confirm(const std::string& title, const std::string& message, const std::string& okLabel,
                 std::function<void(bool)> done);

    bool dark() const { return dark_; }
    bool isBarMode() const { return isBarMode_; }
    bool barPlaced() const { return barPlaced_; }
    // The window's frame in screen coordinates (y downwards from the top), as last requested in
    // bar mode, or as the window system reports it otherwise.
    Frame frame() const;
    // The visible area of the window's monitor (else the primary one, else the fallback), in the
    // bar's coordinates (y upwards).
    Frame visibleFrame() const;

  private:
    void applyChromeColours();
    void matchToolkitTheme();
    void applyFrame(const Frame& topLeftFrame);
    void setMinimumSize(int width, int height);
    void restoreMinimumSize();
    void moveBarByCompositor();
    double screenHeight() const;
    static int onDelete(GtkWidget*, GdkEvent*, void* self);
    void allowAutomation(WebKitWebContext* context);

    std::shared_ptr<ScriptTarget> page_;
    GtkWindow* window_ = nullptr;  // owned reference
    WebKitWebView* webView_ = nullptr;
    GtkWidget* titlebar_ = nullptr;  // empty and hidden: the page draws the title row
    GMenuModel* menu_ = nullptr;     // owned reference
    // The page's last button press that is still held (button 0: none), for beginMoveDrag.
    unsigned pressedButton_ = 0;
    double pressRootX_ = 0, pressRootY_ = 0;
    unsigned pressTime_ = 0;
    bool maximized_ = false;
    GtkCssProvider* css_ = nullptr;

    bool dark_ = true;
    std::optional<bool> toolkitDark_;  // what the toolkit was last told, if anything
    bool isBarMode_ = false;
    bool barPlaced_ = false;
    std::optional<Frame> savedAppFrame_;
    // Leaving bar mode: the size asked for, until the window has it (then the window's own
    // minimum size comes back), and the timer that gives the minimum back if it never does.
    std::optional<std::pair<int, int>> sizeToRestore_;
    unsigned restoreTimer_ = 0;
    Frame barFrame_;                 // screen coordinates; the bar's frame as last requested
    bool compositorMoving_ = false;  // Wayland: a compositor move was asked for the held button
};

}  // namespace marlune
