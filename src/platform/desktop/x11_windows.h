#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/error.h"
#include "platform/image/bgra_image.h"

namespace marlune::x11 {

// What a window is for, as it tells the window manager (_NET_WM_WINDOW_TYPE). A window that
// says nothing is `normal`.
enum class WindowType {
    normal,
    dialog,
    desktop,
    dock,
    toolbar,
    menu,
    utility,
    splash,
    notification
};

// One application window the window manager looks after.
struct ClientWindow {
    std::uint32_t id = 0;   // the client's own window (inside the manager's frame)
    std::string title;      // _NET_WM_NAME, else WM_NAME; "" when it has none
    std::string className;  // the class half of WM_CLASS ("Firefox-esr"); may be empty
    // The owning process: _NET_WM_PID, else the X client that made the window.
    std::optional<int> processID;
    // The client area in root-window pixels, without the manager's frame.
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    WindowType type = WindowType::normal;
    bool keptAbove = false;
    bool keptBelow = false;
    bool minimized = false;  // _NET_WM_STATE_HIDDEN
    bool viewable = false;   // mapped, and every window around it mapped
};

// The window manager's clients, the topmost first (_NET_CLIENT_LIST_STACKING, else
// _NET_CLIENT_LIST; without a window manager, the top-level windows with WM_STATE in stacking
// order). Windows that vanish while they are read are left out. Opens its own short connection
// to $DISPLAY; fails when there is none. Blocking: a few round trips per window. Any thread.
Result<std::vector<ClientWindow>> listClientWindows();

// Where one window's own area (its client area, without the manager's frame) is on the screen
// as it moves, in root-window pixels, through a connection of its own opened at the first
// question: two round trips a question. Nothing when there is no display or the window is gone.
// One thread at a time.
class WindowPlace {
  public:
    explicit WindowPlace(std::uint32_t window);
    ~WindowPlace();
    WindowPlace(const WindowPlace&) = delete;
    WindowPlace& operator=(const WindowPlace&) = delete;
    std::optional<PixelRect> rect();

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// The desktop's window scale: GDK_SCALE when it is set to a whole number from 1, else the
// XSETTINGS value Gdk/WindowScalingFactor that desktops on X11 publish, else 1.
int desktopWindowScale();

// The name of a running program: its executable's file name, else the kernel's short name for
// it; "" when the process is gone or not ours to read.
std::string processName(int pid);

}  // namespace marlune::x11
