#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/error.h"
#include "platform/image/bgra_image.h"

namespace marlune {

class WaylandCapture;

// One display that can be recorded: a RandR monitor.
struct ShareableDisplay {
    // The monitor's id, stable for the life of the X session.
    std::uint32_t displayID = 0;
    std::string name;  // RandR's name of the monitor; may be empty
    // Size in points (pixels divided by the desktop's scale, truncated).
    int width = 0;
    int height = 0;
    // Where its pixels are on the X screen (root-window pixels).
    PixelRect pixels;
};

// One top-level window of an application, as the window manager lists it.
struct ShareableWindow {
    std::uint32_t windowID = 0;  // the client window's X id
    // The client area (without the window manager's frame) in points.
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    std::string title;  // "" when the window has none
    // The owning application: its process and its name. No process when the window does not say.
    std::optional<int> processID;
    std::string applicationName;
    // 0 for ordinary application windows (normal windows and dialogs, neither kept above nor
    // below the others); negative for the desktop and windows kept below, positive for docks,
    // panels, menus, notifications, utility windows and windows kept above.
    int layer = 0;
};

// Which windows a content query lists.
struct ContentQuery {
    bool excludeDesktopWindows = false;
    bool onScreenWindowsOnly = true;
};

// What can be recorded right now: the displays and the application windows.
struct ShareableContent {
    // In RandR's order.
    std::vector<ShareableDisplay> displays;
    // Front to back (the topmost first).
    std::vector<ShareableWindow> windows;
    // Pixels per point, the same on every display: 1 unless the desktop asks for scaled windows
    // (the GDK_SCALE environment variable, else the XSETTINGS value Gdk/WindowScalingFactor).
    double scale = 1;
    // In a Wayland session: the source the desktop granted, already streaming. The content then
    // holds that one source only.
    std::shared_ptr<WaylandCapture> portal;

    // Asks the X server. Windows are the window manager's clients (_NET_CLIENT_LIST; without a
    // window manager, the top-level windows that carry WM_STATE); on-screen means mapped and not
    // minimised. Fails when there is no X display. Blocking (a few round trips per window);
    // any thread.
    static Result<ShareableContent> current(const ContentQuery& query = {});

    const ShareableDisplay* display(std::uint32_t id) const;
    const ShareableWindow* window(std::uint32_t id) const;
};

// This process's id, the owner of the application's own windows.
int currentProcessID();

}  // namespace marlune
