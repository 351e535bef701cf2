#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop/x11_monitors.h"
#include "render/surface.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _GtkWindow GtkWindow;
typedef struct _GdkFrameClock GdkFrameClock;
typedef struct _PangoLayout PangoLayout;

namespace marlune {

// How far one number of the countdown has come, `seconds` after it appeared: it pops in from 150 %
// size and transparent, holds, then fades to 15 % while it shrinks a little. Key frames at 0, 0.25,
// 0.85 and 1 of kPopSeconds, scale 1.5 → 1.0 → 1.0 → 0.93 and opacity 0 → 1 → 1 → 0.15, linear
// between them on an ease-out clock; the last frame holds afterwards.
struct PopFrame {
    double scale = 1;
    double opacity = 1;
};
inline constexpr double kPopSeconds = 0.9;
PopFrame popFrame(double seconds);

// The monitor the countdown covers: the one whose id is `displayID`; else the one under the pointer
// (root-window pixels); else the primary one; else the first. Nothing when there are no monitors.
std::optional<x11::Monitor> chooseOverlayMonitor(const std::vector<x11::Monitor>& monitors,
                                                 std::optional<std::uint32_t> displayID,
                                                 std::optional<std::pair<int, int>> pointer);

// The big "3, 2, 1" over the whole of one monitor before a recording starts. Clicks and keys go
// through it to the windows underneath (its input shape is empty, and it never takes the focus).
// With a compositor it lays a dark veil over the monitor; without one a see-through window would
// come out black, so the window is cut to the shape of the number alone, outlined so it reads on
// any background.
//
// Main thread only. Owned by the recording controller. Without a display it shows nothing.
class CountdownOverlayController {
  public:
    static constexpr double kFontSize = 150;  // pixels
    struct Veil {
        double red, green, blue, alpha;
    };
    static constexpr Veil kVeil{0.016, 0.016, 0.027, 0.55};

    CountdownOverlayController() = default;
    ~CountdownOverlayController();
    CountdownOverlayController(const CountdownOverlayController&) = delete;
    CountdownOverlayController& operator=(const CountdownOverlayController&) = delete;

    // Shows `n` (n below 1 hides). The first number of a countdown picks the monitor (see
    // chooseOverlayMonitor; `displayID` is a monitor id of x11::listMonitors) and the later ones
    // reuse the window. Each number restarts the pop and brings the window to the front.
    void show(int n, std::optional<std::uint32_t> displayID);
    // Takes the overlay off the screen at once (the recording starts right after). Where the
    // countdown is an ordinary Wayland window, the window is not closed but left drawing nothing,
    // shrunk to a pixel: mutter casts no picture for about a second and a half after a window that
    // large goes, which would be the recording's first moments.
    void hide();
    // Closes the window `hide` left (once the recording is over).
    void release();

    // While shown: the window, the number and the monitor's area (root-window pixels).
    GtkWindow* window() const { return window_; }
    bool isShowing() const { return window_ != nullptr; }
    const std::string& text() const { return text_; }
    const x11::Monitor& monitor() const { return monitor_; }
    bool hasVeil() const { return composited_; }

  private:
    bool createWindow(std::optional<std::uint32_t> displayID);
    bool createWaylandWindow();
    void startPop();
    void applyFrame();
    void draw(cairo_t* cr);
    PangoLayout* makeLayout() const;
    // Draws the number at `scale` about its centre, which is the centre of a `width` × `height`
    // area whose top-left corner is at the origin of `cr`.
    void drawNumber(cairo_t* cr, double width, double height, double scale, double opacity,
                    bool outlined) const;
    void updateShape();
    void makeGlow();
    static int onTick(GtkWidget*, GdkFrameClock*, void* self);
    static int onDraw(GtkWidget*, cairo_t*, void* self);

    GtkWindow* window_ = nullptr;
    GtkWindow* parked_ = nullptr;  // hidden but not yet closed (see hide)
    bool parkOnHide_ = false;      // window_ is an ordinary Wayland window
    x11::Monitor monitor_;
    int windowWidth_ = 0;  // the window's size in the toolkit's units (pixels / scale factor)
    int windowHeight_ = 0;
    bool composited_ = false;
    std::string text_;
    std::int64_t popStartUs_ = 0;  // monotonic clock
    PopFrame frame_;
    unsigned tick_ = 0;
    // The number's size at 100 %, and the blurred glow drawn behind it (with a compositor).
    int textWidth_ = 0;
    int textHeight_ = 0;
    Surface glow_;
};

}  // namespace marlune
