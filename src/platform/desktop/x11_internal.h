#pragma once

// Shared by the X11 wrappers' own .cpp files only: the rest of the program never includes Xlib.

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace marlune::x11::detail {

struct DisplayCloser {
    void operator()(Display* d) const;
};

// A connection of our own to $DISPLAY. X protocol errors on it (a window that vanished between
// two requests, a BadMatch on an unmapped window) never end the process: they are kept as the
// connection's last error, while errors on other connections still reach the handler that was
// installed before (GTK's, or Xlib's default).
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;
DisplayPtr openDisplay();

// Waits for the server to handle every request sent so far and returns the X error code the
// first failed one caused since the last call (0 when none), clearing it.
int syncAndTakeError(Display* dpy);
// The same without waiting: after a request that waits for its reply, its error is in already.
int takeError(Display* dpy);

Atom atom(Display* dpy, const char* name);

// Property readers; nothing when the window has no such property of that type (or is gone).
std::vector<unsigned long> cardinals(Display* dpy, Window w, Atom property, Atom type);
std::optional<unsigned long> cardinal(Display* dpy, Window w, Atom property, Atom type);
std::optional<std::string> text(Display* dpy, Window w, Atom property, Atom type);
// The window's title: _NET_WM_NAME (UTF-8), else WM_NAME.
std::string windowTitle(Display* dpy, Window w);
// The owning process: _NET_WM_PID, else the client that made the window (X-Resource).
std::optional<int> windowProcess(Display* dpy, Window w);
bool hasProperty(Display* dpy, Window w, Atom property);
// The application window inside `w`: `w` itself when it carries WM_STATE, else the first such
// window below it (window managers put each client inside a frame of their own), else nothing.
std::optional<Window> clientWindow(Display* dpy, Window w, int depth = 3);

// The pixel layout the capture code understands: 32 bits per pixel with red, green and blue in
// the bytes of BGRA order (every TrueColor visual of depth 24 or 32 on a little-endian machine).
bool isBgraVisual(const Visual* visual, int depth);

// An image the capture code can read: 32 bits per pixel, least significant byte first.
bool usableImage(const XImage* image);

// Whether the server has XComposite 0.2 or later (window pixmaps).
bool hasComposite(Display* dpy);

}  // namespace marlune::x11::detail
